#include "stream/package_istream.h"

#include <gtest/gtest.h>

#include "qpk/writer.h"
#include "signing/signer.h"
#include "stream/package_bytes.h"
#include "stream/test_sources.h"
#include "verify/vectors.h"

using namespace test_bytes;

namespace {

std::string pattern(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

std::string read_all(std::istream& in) {  // the rest of the part; eof and fail cleared as a caller would
    std::string out(1 << 20, '\0');
    out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(out.size())).gcount()));
    return in.clear(), out;
}

// A package header, an unwanted part, a text, a part longer than the skip buffer, an empty part, a signature part.
const std::string header = pattern(36, 1), big = pattern(40000, 3);
const std::string sample = file(part(1, header) + part(7, pattern(10, 2)) + part(24, "123 456") + part(4, big) + part(2, "") + part(9, std::string(132, 0)));

}  // namespace

// The shared package files reach their levels (0 under another key pair) over sources that can and cannot seek, with digests as
// computed independently and by qpk's writer, and the tee a copy of the file.
TEST(PackageIstreamTest, VectorFiles) {
    const verify::public_keys keys = test_vectors::package_vector_keys();
    signing::private_keys other_private;
    verify::public_keys other;
    ASSERT_TRUE(signing::generate_private_keys(keys.table, other_private) && signing::public_keys_of(other_private, other));
    for (const vector_file& vf : read_vector_files(std::string(VECTORS_DIR) + "/packages.txt")) {
        const std::vector<signature_range> ranges = signature_ranges(vf.bytes);
        std::vector<qpk::digest_buffer> written;
        std::string error;
        ASSERT_TRUE(qpk::signature_digests(vf.bytes, written, error) && ranges.size() == vf.levels.size()) << error;
        for (int k = 0; k < 3; ++k) {
            test_source src(vf.bytes, k == 1 ? pipe_options() : test_source::options{});
            std::istream source(&src);
            std::ostringstream tee;
            package_istream in(source, true, tee.rdbuf());
            in.wanted_types = {9};
            for (std::size_t i = 0; i < ranges.size(); ++i) {
                ASSERT_EQ(in.next_part(), 9);
                const int level = k == 2 ? in.verify_signature(other) : test_vectors::build_has_vector_keys() ? in.verify_signature() : in.verify_signature(keys);
                EXPECT_EQ(level, k == 2 ? 0 : vf.levels[i]) << vf.comment;
                const digest expected = digest_of(vf.bytes.substr(ranges[i].begin, ranges[i].end - ranges[i].begin), ranges[i].sha256);
                EXPECT_TRUE(digest_from(in.parts().digest()) == expected && written.at(i) == expected) << vf.comment;
            }
            EXPECT_TRUE(in.next_part() == -1 && in.total_size() == vf.bytes.size() && tee.str() == vf.bytes) << vf.comment;
        }
    }
}

// With and without hashing and tee, over sources that can and cannot seek: wanted parts are bounded and others skipped (not read
// through where the source seeks and nothing sees the bytes); part_offset() + tellg() is what the source handed out; seeks go
// forward, or back where the source seeks and nothing sees the bytes again; a putback reaches hash and tee once, also where the
// source refuses it; the hash covers everything from the package header on.
TEST(PackageIstreamTest, PartsAreBoundedSkippedSeekedAndPutBack) {
    const std::streamoff length = static_cast<std::streamoff>(big.size());
    for (int options = 0; options < 12; ++options) {
        const bool hashing = options & 1, with_tee = options & 2, seekable = options < 4, refusing = options >= 8;
        SCOPED_TRACE(options);
        test_source::options source_options = seekable ? test_source::options{} : pipe_options();
        source_options.putback = !refusing;
        test_source src(sample, source_options);
        std::istream source(&src);
        std::ostringstream tee;
        package_istream in(source, hashing, with_tee ? tee.rdbuf() : nullptr);
        in.wanted_types = {1, 24, 4, 2, 9};
        const auto at = [&](std::streamoff pos) { return in.tellg() == pos && in.part_offset() + pos == static_cast<std::streamoff>(src.consumed()); };
        ASSERT_EQ(in.next_part(), 1);
        EXPECT_EQ(in.rdbuf()->sungetc(), std::char_traits<char>::eof());  // nothing of the part consumed yet
        EXPECT_EQ(in.get(), static_cast<unsigned char>(header[0]));
        EXPECT_EQ(in.peek(), static_cast<unsigned char>(header[1]));
        char block[20];
        EXPECT_EQ(std::string(block, static_cast<std::size_t>(in.read(block, 20).gcount())), header.substr(1, 20));
        EXPECT_TRUE(at(21) && bool(in.putback(block[19])) == !refusing && bool((in.clear(), in.unget())) == !refusing);
        in.clear();
        EXPECT_EQ(read_all(in), header.substr(refusing ? 21 : 19));
        ASSERT_EQ(in.next_part(), 24);  // part 7 is not wanted
        int a = 0, b = 0, c = 0;
        EXPECT_TRUE((in >> a >> b) && a * 1000 + b == 123456 && in.part_offset() == 72u);
        EXPECT_FALSE(in >> c);  // the next part's bytes are out of reach
        in.clear();
        ASSERT_EQ(in.next_part(), 4);
        in.seekg(30000, std::ios_base::end);  // counts back from the end of the part
        EXPECT_TRUE(at(length - 30000) && in.get() == static_cast<unsigned char>(big[length - 30000]));
        EXPECT_TRUE(in.seekg(99, std::ios_base::cur) && at(length - 29900));
        EXPECT_TRUE(in.seekg(length + 1).fail());  // past the end: refused, the position kept
        in.clear();
        const bool back = !hashing && !with_tee && seekable;
        EXPECT_EQ(in.seekg(5).fail(), !back);
        in.clear();
        EXPECT_TRUE(at(back ? 5 : length - 29900) && in.seekg(0, std::ios_base::end) && at(length) && read_all(in).empty());
        ASSERT_EQ(in.next_part(), 2);
        EXPECT_EQ(in.part_length() + static_cast<std::uint32_t>(in.readsome(block, 1)), 0u);
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_TRUE(in.next_part() == -1 && in.eof() && in.fail() && in.current_type == -1 && in.next_part() == -1);
        EXPECT_TRUE(!with_tee || tee.str() == sample);
        EXPECT_TRUE(!hashing || digest_from(in.parts().digest()) == digest_of(sample.substr(8), false));
        EXPECT_EQ(src.bytes_read < sample.size() - big.size() + 100, back);
    }
}

// Package headers start a message, a type-25 part switches to SHA-256; the check reads past the hash into the tee (bytes put back
// first too) nothing below 68 bytes, 68 below 132, else 132, the rest staying in the part; nothing without hashing; in a file cut
// inside its signature, what arrived.
TEST(PackageIstreamTest, SignatureParts) {
    const std::string first = part(1, pattern(36, 4)) + part(24, "abc") + part(9, std::string(68, 'x'));
    const std::string head = file(first + part(16, "mips") + part(1, pattern(32, 5)) + part(25, "") + part(3, pattern(34, 6)));
    const std::size_t switch_at = 8 + first.size() + 48, second = head.size();
    const std::tuple<std::uint32_t, std::uint32_t, std::size_t, bool, bool> rows[] = {  // length, read, cut, hashing, put back first
        {0, 0, 0, true, false},    {67, 0, 0, true, false},    {68, 68, 0, true, true},    {131, 68, 0, true, false},
        {132, 132, 0, true, true}, {140, 132, 0, true, false}, {132, 0, 0, false, false}, {132, 102, 30, true, false}};
    for (const auto& [length, read, cut, hashing, peek_back] : rows) {
        const std::string whole = file(head.substr(8) + part(9, pattern(length, 8)) + part(16, "i386"));
        const std::string bytes = whole.substr(0, whole.size() - (cut ? 10 + cut : 0));
        std::istringstream raw(bytes);
        std::ostringstream tee;
        package_istream in(raw, hashing, tee.rdbuf());
        in.wanted_types = {9};
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        EXPECT_TRUE(!hashing || digest_from(in.parts().digest()) == digest_of(bytes.substr(8, first.size() - 68), false));
        ASSERT_EQ(in.next_part(), 9);
        if (peek_back) in.get(), in.unget();
        EXPECT_EQ(in.verify_signature(), 0);
        EXPECT_EQ(in.parts().remaining() * 1000 + in.tellg(), (length - read) * 1000 + read) << length;
        EXPECT_EQ(tee.str().size(), second + 6 + read);
        EXPECT_TRUE(!hashing || digest_from(in.parts().digest()) == digest_of(bytes.substr(switch_at, second + 6 + peek_back - switch_at), true));
        std::string rest(in.parts().remaining(), '\0');
        EXPECT_EQ(bool(in.read(rest.data(), static_cast<std::streamsize>(rest.size()))), !cut);
        in.clear();
        EXPECT_EQ(rest.substr(0, length - read - cut), bytes.substr(second + 6 + read, length - read - cut));
        EXPECT_TRUE(in.next_part() == -1 && tee.str() == bytes) << length;
    }
}

namespace {

// A source that throws once limit bytes are read, as a file stream does on a device error; one larger than 4 GiB, zero past its
// start, seeking forward.
struct failing_source : std::streambuf {
    std::string data;
    std::size_t limit, next = 0;
    failing_source(std::string d, std::size_t l) : data(std::move(d)), limit(l) {}
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(n), data.size() - next);
        if (next + want > limit) throw std::ios_base::failure("device error");
        return std::memcpy(s, data.data() + next, want), next += want, static_cast<std::streamsize>(want);
    }
    int_type underflow() override { throw std::ios_base::failure("device error"); }
};
struct endless_source : std::streambuf {
    std::string start;
    std::uint64_t at = 0;
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i, ++at) s[i] = at < start.size() ? start[at] : '\0';
        return n;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir, std::ios_base::openmode) override { return pos_type(off_type(at += static_cast<std::uint64_t>(off))); }
};

}  // namespace

// Files short, of another magic, cut, with a 4 GiB part, from a source that throws, or past 4 GiB: refused at once, or ended by
// next_part.
TEST(PackageIstreamTest, BrokenFilesAndSources) {
    const std::string h = part(1, pattern(36, 9));
    const std::tuple<std::string, bool, int> cases[] = {  // bytes, refused at construction, parts found
        {"", true, 0}, {file("").substr(0, 5), true, 0}, {std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + h, true, 0}, {file(h, 0x12345678), true, 0},
        {file(""), false, 0}, {file(h + h.substr(0, 3)), false, 1}, {file(h + part_claiming(1, 100, pattern(50, 1))), false, 2},
        {file(h + part_claiming(1, 0xFFFFFFFF, pattern(50, 1))), false, 2}};
    for (const auto& [bytes, bad, parts] : cases) {
        for (int k = 0; k < 4; ++k) {
            test_source src(bytes, k < 2 ? test_source::options{} : pipe_options());
            std::istream source(&src);
            package_istream in(source, k % 2);
            in.wanted_types = {1};
            int found = 0;
            for (; in.next_part() == 1; ++found) read_all(in);
            EXPECT_TRUE(in.bad() == bad && found == parts && in.fail() && in.current_type == -1 && in.next_part() == -1) << bytes.size() << " " << k;
        }
    }
    std::istringstream second(file(h, 0xA1100FFB));
    EXPECT_TRUE(package_istream(second, false).has_second_magic());
    for (std::size_t limit : {0, 20, 100, 3000}) {
        failing_source buffer(file(h + part(23, pattern(4000, 3)) + part(3, pattern(2, 0))), limit);
        std::istream source(&buffer);
        package_istream in(source, limit == 20 || limit == 3000);
        in.wanted_types = {1, 23, 3};
        int parts = 0;
        for (; in.next_part() != -1; ++parts) read_all(in), in.peek();
        EXPECT_TRUE(parts < 3 && in.fail()) << limit;
    }
    endless_source buffer;
    buffer.start = file(h + part_claiming(5, 0xFFFFFFF0, ""));
    std::istream source(&buffer);
    package_istream in(source, false);
    in.wanted_types = {1, 5};
    EXPECT_EQ(in.next_part(), 1);
    EXPECT_EQ(in.next_part(), 5);
    EXPECT_EQ(in.part_offset(), 56u);
    EXPECT_EQ(in.next_part(), -1);  // the end, not a wrapped offset
}
