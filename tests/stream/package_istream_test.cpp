#include "stream/package_istream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "qpk/writer.h"
#include "signing/signer.h"
#include "stream/package_bytes.h"
#include "stream/test_sources.h"
#include "verify/vectors.h"

using namespace test_bytes;

namespace {

enum kind { in_string, in_seekable, in_pipe, in_os_pipe };
const char* const kind_names[] = {"stringstream", "seekable", "pipe", "os pipe"};

// Package bytes from a string stream, a counting buffer that can or cannot
// seek, or a file stream on a real pipe as the installer reads standard input.
struct source {
    source(kind k, const std::string& bytes) {
        int fds[2];
        if (k == in_string) stream = std::make_unique<std::istringstream>(bytes);
        if (k == in_seekable || k == in_pipe) stream = std::make_unique<std::istream>((counter = std::make_unique<test_source>(bytes, k == in_pipe ? pipe_options() : test_source::options{})).get());
        if (k != in_os_pipe) return;
        if (bytes.size() > 65536 || ::pipe(fds) != 0 || ::write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("pipe");
        ::close(fds[1]);
        stream = std::make_unique<std::ifstream>("/dev/fd/" + std::to_string(fds[0]), std::ios::binary);
        ::close(fds[0]);
    }
    std::unique_ptr<test_source> counter;
    std::unique_ptr<std::istream> stream;
};

std::string pattern(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

// Everything left in the part; the read ends with eof and fail, cleared as a caller would.
std::string read_all(std::istream& in) {
    std::string out(1 << 20, '\0');
    out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(out.size())).gcount()));
    EXPECT_TRUE(in.eof());
    in.clear();
    return out;
}

digest buffer_digest(package_istream& in) { return digest_from(in.parts().digest()); }

// A package header, an unwanted part, a text, a part much longer than the
// skip buffer, an empty part and a signature part.
const std::string header = pattern(36, 1), big = pattern(40000, 3);
const std::string sample = file(part(1, header) + part(7, pattern(10, 2)) + part(24, "123 456") + part(4, big) + part(2, "") + part(9, std::string(132, '\0')));
const digest sample_digest = digest_of(sample.substr(8), false);

}  // namespace

// The shared package files reach their levels over every kind of source, the
// digests as computed independently (and by qpk's writer), the tee a copy of
// the file; under another key pair every level is 0.
TEST(PackageIstreamTest, VectorFilesThroughEveryKindOfSource) {
    const verify::public_keys keys = test_vectors::package_vector_keys();
    signing::private_keys other_private;
    verify::public_keys other;
    ASSERT_TRUE(signing::generate_private_keys(keys.table, other_private) && signing::public_keys_of(other_private, other));
    for (const vector_file& vf : read_vector_files(std::string(VECTORS_DIR) + "/packages.txt")) {
        const std::vector<signature_range> ranges = signature_ranges(vf.bytes);
        std::vector<qpk::digest_buffer> written;
        std::string error;
        ASSERT_TRUE(qpk::signature_digests(vf.bytes, written, error) && ranges.size() == vf.levels.size()) << error;
        for (int k = in_string; k <= in_os_pipe + 1; ++k) {
            SCOPED_TRACE(vf.comment + ", " + (k <= in_os_pipe ? kind_names[k] : "another key pair"));
            source src(k <= in_os_pipe ? kind(k) : in_string, vf.bytes);
            std::ostringstream tee;
            package_istream in(*src.stream, true, tee.rdbuf());
            EXPECT_EQ(in.total_size(), vf.bytes.size());
            in.wanted_types = {9};
            for (std::size_t i = 0; i < ranges.size(); ++i) {
                ASSERT_EQ(in.next_part(), 9);
                const bool build_keys = test_vectors::build_has_vector_keys();
                EXPECT_EQ(k > in_os_pipe ? in.verify_signature(other) : build_keys ? in.verify_signature() : in.verify_signature(keys), k > in_os_pipe ? 0 : vf.levels[i]);
                const digest expected = digest_of(vf.bytes.substr(ranges[i].begin, ranges[i].end - ranges[i].begin), ranges[i].sha256);
                EXPECT_TRUE(buffer_digest(in) == expected && written.at(i) == expected) << "signature " << i;
            }
            EXPECT_EQ(in.next_part(), -1);
            EXPECT_TRUE(tee.str() == vf.bytes);
        }
    }
}

// Every kind of source, with and without hashing and tee: wanted parts are
// bounded, others skipped (not read where the source can seek and nothing
// sees the bytes); positions are part_offset() + tellg(); seeks go forward,
// or back where the source can seek and nothing sees the bytes again; the
// finished hash covers every byte from the package header on.
TEST(PackageIstreamTest, WantedPartsAreBoundedSkippedAndSeekable) {
    const std::streamoff length = static_cast<std::streamoff>(big.size());
    for (int k = in_string; k <= in_os_pipe; ++k) {
        for (int options = 0; options < 4; ++options) {
            const bool hashing = options & 1, with_tee = options & 2;
            SCOPED_TRACE(std::string(kind_names[k]) + (hashing ? " hashing" : "") + (with_tee ? " tee" : ""));
            source src(kind(k), sample);
            std::ostringstream tee;
            package_istream in(*src.stream, hashing, with_tee ? tee.rdbuf() : nullptr);
            in.wanted_types = {1, 24, 4, 2, 9};
            const auto consumed = [&](std::streamoff at) {
                EXPECT_EQ(in.tellg(), at);
                if (src.counter) { EXPECT_EQ(in.part_offset() + at, static_cast<std::streamoff>(src.counter->consumed())); }
            };
            ASSERT_EQ(in.next_part(), 1);
            EXPECT_EQ(in.part_offset() + in.part_length() * 1000, 14u + 36000);
            EXPECT_EQ(in.get(), static_cast<unsigned char>(header[0]));
            EXPECT_EQ(in.peek(), static_cast<unsigned char>(header[1]));
            char block[20];
            EXPECT_EQ(std::string(block, static_cast<std::size_t>(in.read(block, 20).gcount())), header.substr(1, 20));
            consumed(21);
            EXPECT_EQ(read_all(in), header.substr(21));
            ASSERT_EQ(in.next_part(), 24);  // part 7 is not wanted
            EXPECT_EQ(in.part_offset(), 72u);
            if (k == in_string) { EXPECT_EQ(in.rdbuf()->in_avail(), 7); }
            int a = 0, b = 0, c = 0;
            EXPECT_TRUE((in >> a >> b) && a * 1000 + b == 123456);
            EXPECT_FALSE(in >> c);  // the next part's bytes are out of reach
            in.clear();
            ASSERT_EQ(in.next_part(), 4);
            in.seekg(30000, std::ios_base::end);  // counts back from the end of the part
            consumed(length - 30000);
            EXPECT_EQ(in.get(), static_cast<unsigned char>(big[length - 30000]));
            in.seekg(99, std::ios_base::cur);
            consumed(length - 29900);
            EXPECT_TRUE(in.seekg(length + 1).fail());  // past the end: refused, the position kept
            in.clear();
            const bool back = !hashing && !with_tee && (k == in_string || k == in_seekable);
            EXPECT_EQ(in.seekg(5).fail(), !back);
            in.clear();
            consumed(back ? 5 : length - 29900);
            in.seekg(0, std::ios_base::end);
            consumed(length);
            EXPECT_EQ(read_all(in), "");
            ASSERT_EQ(in.next_part(), 2);
            EXPECT_EQ(in.part_length() + static_cast<std::uint32_t>(in.readsome(block, 1)), 0u);
            ASSERT_EQ(in.next_part(), 9);
            EXPECT_EQ(in.next_part(), -1);
            EXPECT_TRUE(in.eof() && in.fail() && in.current_type == -1 && in.next_part() == -1);
            if (with_tee) { EXPECT_TRUE(tee.str() == sample); }
            if (hashing) { EXPECT_EQ(buffer_digest(in), sample_digest); }
            if (src.counter) { EXPECT_EQ(src.counter->bytes_read < sample.size() - big.size() + 100, k == in_seekable && !hashing && !with_tee); }
        }
    }
}

// A byte put back reaches the hash and the tee once, also where the source refuses the putback.
TEST(PackageIstreamTest, PutBack) {
    for (int row = 0; row < 3; ++row) {
        const bool refused = row == 2;
        test_source::options opts;
        opts.putback = false;
        test_source refusing(sample, opts);
        std::istream refusing_stream(&refusing);
        source src(row == 1 ? in_os_pipe : in_string, sample);
        std::ostringstream tee;
        package_istream in(refused ? refusing_stream : *src.stream, true, tee.rdbuf());
        in.wanted_types = {1, 24};
        ASSERT_EQ(in.next_part(), 1);
        EXPECT_EQ(in.rdbuf()->sungetc(), std::char_traits<char>::eof());  // nothing of the part consumed yet
        char first[5];
        in.read(first, 5);
        EXPECT_EQ(bool(in.putback(first[4])), !refused);
        in.clear();
        EXPECT_EQ(bool(in.unget()), !refused);
        in.clear();
        EXPECT_EQ(read_all(in), header.substr(refused ? 5 : 3));
        ASSERT_EQ(in.next_part(), 24);
        EXPECT_EQ(in.get(), '1');
        EXPECT_EQ(bool(in.putback('1')), !refused);
        in.clear();
        EXPECT_EQ(in.get(), refused ? '2' : '1');
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(tee.str() == sample);
        EXPECT_EQ(buffer_digest(in), sample_digest);
    }
}

// Package headers start a message, a type-25 part switches to SHA-256; the
// check reads past the hash into the tee (bytes put back too) nothing below
// 68 bytes, 68 below 132, else 132, the rest staying in the part; nothing
// without hashing; in a file cut inside its signature, what did arrive.
TEST(PackageIstreamTest, SignatureParts) {
    const std::string first = part(1, pattern(36, 4)) + part(24, "abc") + part(9, std::string(68, 'x'));
    const std::string head = file(first + part(16, "mips") + part(1, pattern(32, 5)) + part(25, "") + part(3, pattern(34, 6)));
    const std::size_t switch_at = 8 + first.size() + 10 + 38, second = head.size();
    const struct {
        std::uint32_t length, read;
        std::size_t cut;  // bytes missing at the end of the file
        bool hashing, peek_back;
    } rows[] = {{0, 0, 0, true, false},   {67, 0, 0, true, false},   {68, 68, 0, true, true},  {131, 68, 0, true, false},
                {132, 132, 0, true, true}, {140, 132, 0, true, false}, {132, 0, 0, false, false}, {132, 102, 30, true, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.length) + " cut " + std::to_string(r.cut) + (r.hashing ? "" : " no hashing"));
        std::string bytes = head.substr(8) + part(9, pattern(r.length, 8)) + part(16, "i386");
        bytes = file(bytes).substr(0, bytes.size() + 8 - (r.cut ? 10 + r.cut : 0));
        std::istringstream raw(bytes);
        std::ostringstream tee;
        package_istream in(raw, r.hashing, tee.rdbuf());
        in.wanted_types = {9};
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        if (r.hashing) { EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(8, first.size() - 68), false)); }
        ASSERT_EQ(in.next_part(), 9);
        if (r.peek_back) in.get(), in.unget();
        EXPECT_EQ(in.verify_signature(), 0);
        EXPECT_EQ(in.parts().remaining(), r.length - r.read);
        EXPECT_EQ(in.tellg(), std::streamoff(r.read));
        EXPECT_EQ(tee.str().size(), second + 6 + r.read);
        if (r.hashing) { EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(switch_at, second + 6 + r.peek_back - switch_at), true)); }
        std::string rest(in.parts().remaining(), '\0');
        EXPECT_EQ(bool(in.read(rest.data(), static_cast<std::streamsize>(rest.size()))), !r.cut);
        in.clear();
        EXPECT_EQ(rest.substr(0, r.length - r.read - r.cut), bytes.substr(second + 6 + r.read, r.length - r.read - r.cut));
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(tee.str() == bytes);
    }
}

// Short, of another magic, cut, or with a 4 GiB part: refused at once, or
// ended by next_part; with no type wanted the whole file is hashed and copied.
TEST(PackageIstreamTest, BrokenAndTruncatedFiles) {
    const std::string h = part(1, pattern(36, 9));
    const std::tuple<std::string, bool, int> cases[] = {  // bytes, refused at construction, parts found
        {"", true, 0}, {file("").substr(0, 5), true, 0}, {std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + h, true, 0},
        {file(h, 0x12345678), true, 0}, {file(""), false, 0}, {file(h + h.substr(0, 3)), false, 1},
        {file(h + part_claiming(1, 100, pattern(50, 1))), false, 2}, {file(h + part_claiming(1, 0xFFFFFFFF, pattern(50, 1))), false, 2},
    };
    for (const auto& [bytes, bad, parts] : cases) {
        for (int k = in_string; k <= in_os_pipe * 2 + 1; ++k) {
            source src(kind(k / 2), bytes);
            package_istream in(*src.stream, k % 2);
            in.wanted_types = {1};
            int found = 0;
            for (; in.next_part() == 1; ++found) read_all(in);
            EXPECT_TRUE(in.bad() == bad && found == parts && in.fail() && in.current_type == -1 && in.next_part() == -1) << bytes.size() << kind_names[k / 2];
        }
    }
    std::istringstream second(file(h, 0xA1100FFB)), whole(sample);
    EXPECT_TRUE(package_istream(second, false).has_second_magic());
    std::ostringstream tee;
    package_istream in(whole, true, tee.rdbuf());
    EXPECT_EQ(in.next_part(), -1);
    EXPECT_TRUE(tee.str() == sample && buffer_digest(in) == sample_digest);
}

namespace {

// A source that throws once limit bytes are read, as a file stream's buffer
// does on a device error; and one of 4 GiB and more, zero past its start,
// that seeks forward anywhere.
struct failing_source : std::streambuf {
    std::string data;
    std::size_t limit, next = 0;
    failing_source(std::string d, std::size_t l) : data(std::move(d)), limit(l) {}
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(n), data.size() - next);
        if (next + want > limit) throw std::ios_base::failure("device error");
        std::memcpy(s, data.data() + next, want);
        return next += want, static_cast<std::streamsize>(want);
    }
    int_type underflow() override { throw std::ios_base::failure("device error"); }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { throw std::ios_base::failure("device error"); }
};

struct endless_source : std::streambuf {
    std::string start;
    std::uint64_t at = 0;
    explicit endless_source(std::string s) : start(std::move(s)) {}
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i, ++at) s[i] = at < start.size() ? start[at] : '\0';
        return n;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        return dir != std::ios_base::cur ? pos_type(off_type(-1)) : pos_type(off_type(at += static_cast<std::uint64_t>(off)));
    }
};

}  // namespace

// A source that throws reads as the end of the data; a part header that
// would lie past 4 GiB ends the file instead of wrapping the offsets.
TEST(PackageIstreamTest, ThrowingSourcesAndHugeFiles) {
    const std::string bytes = file(part(1, pattern(36, 9)) + part(23, pattern(4000, 3)) + part(3, pattern(2, 0)));
    for (std::size_t limit : {0, 20, 100, 3000}) {
        for (bool hashing : {false, true}) {
            failing_source buffer(bytes, limit);
            std::istream source(&buffer);
            package_istream in(source, hashing);
            in.wanted_types = {1, 23, 3};
            int parts = 0;
            for (; in.next_part() != -1; ++parts) read_all(in), in.peek();
            EXPECT_TRUE(parts < 3 && in.fail()) << limit;
        }
    }
    endless_source buffer(file(part(1, pattern(36, 9)) + part_claiming(5, 0xFFFFFFF0, "")));
    std::istream source(&buffer);
    package_istream in(source, false);
    in.wanted_types = {1, 5, 0};
    EXPECT_EQ(in.next_part(), 1);
    EXPECT_EQ(in.next_part(), 5);
    EXPECT_EQ(in.part_offset(), 8u + 6 + 36 + 6);
    EXPECT_EQ(in.next_part(), -1);
}
