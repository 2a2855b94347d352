#include "stream/package_istream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "qpk/writer.h"
#include "signing/signer.h"
#include "stream/package_bytes.h"
#include "stream/test_sources.h"
#include "support/sample_packages.h"
#include "support/temp_root.h"
#include "verify/vectors.h"

using namespace test_bytes;

namespace {

enum kind { in_string, in_file, in_seekable, in_pipe, in_os_pipe };
const char* const kind_names[] = {"stringstream", "file", "seekable", "pipe", "os pipe"};

// One source of package bytes: a string stream, a real file, a counting
// buffer that can or cannot seek, or a file stream on a real pipe (as the
// installer reads standard input; the bytes fit the pipe's buffer).
class source {
public:
    source(kind k, const std::string& bytes) {
        if (k == in_string) {
            stream_ = std::make_unique<std::istringstream>(bytes);
        } else if (k == in_file || k == in_os_pipe) {
            int fds[2] = {-1, -1};
            if (k == in_file) write_host_file(dir_.host("/tmp/package"), bytes);
            else if (::pipe(fds) != 0 || bytes.size() > 65536 || ::write(fds[1], bytes.data(), bytes.size()) < 0)
                throw std::runtime_error("cannot fill a pipe");
            ::close(fds[1]);
            stream_ = std::make_unique<std::ifstream>(k == in_file ? dir_.host("/tmp/package") : "/dev/fd/" + std::to_string(fds[0]), std::ios::binary);
            ::close(fds[0]);
        } else {
            counter_ = std::make_unique<test_source>(bytes, k == in_pipe ? pipe_options() : test_source::options{});
            stream_ = std::make_unique<std::istream>(counter_.get());
        }
    }
    std::istream& stream() { return *stream_; }
    test_source* counter() { return counter_.get(); }

private:
    temp_root dir_;
    std::unique_ptr<test_source> counter_;
    std::unique_ptr<std::istream> stream_;
};

std::string pattern(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

// Everything left in the current part; the read ends with eof and fail,
// which are cleared as a caller would before the next part.
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
const std::string sample = file(part(1, header) + part(7, pattern(10, 2)) + part(24, "123 456") + part(4, big) +
                                part(2, "") + part(9, std::string(132, '\0')));
const std::size_t text_at = 8 + 6 + 36 + 6 + 10 + 6;
const digest sample_digest = digest_of(sample.substr(8), false);

}  // namespace

// The shared package files reach their levels at every signature part over
// every kind of source, with digests computed independently (and as qpk's
// writer computes them); under another key pair every level is 0.
TEST(PackageIstreamTest, VectorFilesThroughEveryKindOfSource) {
    const verify::public_keys keys = test_vectors::package_vector_keys();
    const bool build_keys = test_vectors::build_has_vector_keys();
    signing::private_keys other_private;
    verify::public_keys other;
    ASSERT_TRUE(signing::generate_private_keys(keys.table, other_private) && signing::public_keys_of(other_private, other));
    const auto files = read_vector_files(std::string(VECTORS_DIR) + "/packages.txt");
    ASSERT_EQ(files.size(), 5u);
    for (const vector_file& vf : files) {
        SCOPED_TRACE(vf.comment);
        const std::vector<signature_range> ranges = signature_ranges(vf.bytes);
        std::vector<qpk::digest_buffer> written;
        std::string error;
        ASSERT_TRUE(qpk::signature_digests(vf.bytes, written, error)) << error;
        ASSERT_EQ(ranges.size(), vf.levels.size());
        for (int k = in_string; k <= in_os_pipe + 1; ++k) {
            SCOPED_TRACE(k <= in_os_pipe ? kind_names[k] : "another key pair");
            source src(k <= in_os_pipe ? kind(k) : in_string, vf.bytes);
            std::ostringstream tee;
            package_istream in(src.stream(), true, tee.rdbuf());
            EXPECT_EQ(in.total_size(), vf.bytes.size());
            in.wanted_types = {9};
            for (std::size_t i = 0; i < ranges.size(); ++i) {
                ASSERT_EQ(in.next_part(), 9);
                const int level = k > in_os_pipe ? in.verify_signature(other)
                                  : build_keys ? in.verify_signature() : in.verify_signature(keys);
                EXPECT_EQ(level, k > in_os_pipe ? 0 : vf.levels[i]);
                const digest expected = digest_of(vf.bytes.substr(ranges[i].begin, ranges[i].end - ranges[i].begin), ranges[i].sha256);
                EXPECT_EQ(buffer_digest(in), expected) << "signature " << i;
                EXPECT_EQ(written.at(i), expected) << "signature " << i;
            }
            EXPECT_EQ(in.next_part(), -1);
            EXPECT_TRUE(tee.str() == vf.bytes);
        }
    }
}

TEST(PackageIstreamTest, WantedPartsAreBoundedAndOthersSkipped) {
    for (int k = in_string; k <= in_os_pipe; ++k) {
        for (int options = 0; options < 4; ++options) {
            const bool hashing = options & 1, with_tee = options & 2;
            SCOPED_TRACE(std::string(kind_names[k]) + (hashing ? " hashing" : "") + (with_tee ? " tee" : ""));
            source src(kind(k), sample);
            std::ostringstream tee;
            package_istream in(src.stream(), hashing, with_tee ? tee.rdbuf() : nullptr);
            EXPECT_FALSE(in.has_second_magic());
            in.wanted_types = {1, 24, 2, 9};
            ASSERT_EQ(in.next_part(), 1);
            EXPECT_EQ(in.part_length(), 36u);
            EXPECT_EQ(in.part_offset(), 14u);
            // Character reads, a peek and block reads mixed; a read asking
            // for more than the part holds stops at its end.
            EXPECT_EQ(in.get(), static_cast<unsigned char>(header[0]));
            EXPECT_EQ(in.peek(), static_cast<unsigned char>(header[1]));
            char block[20];
            in.read(block, 20);
            EXPECT_EQ(std::string(block, 20), header.substr(1, 20));
            EXPECT_EQ(read_all(in), header.substr(21));
            ASSERT_EQ(in.next_part(), 24);  // the unwanted part 7 is passed over
            EXPECT_EQ(in.part_offset(), text_at);
            if (k == in_string) { EXPECT_EQ(in.rdbuf()->in_avail(), 7); }
            int a = 0, b = 0, c = 0;
            in >> a >> b;
            EXPECT_EQ(a * 1000 + b, 123456);
            EXPECT_FALSE(in >> c);  // the next part's bytes are out of reach
            in.clear();
            ASSERT_EQ(in.next_part(), 2);  // the big part 4 is not wanted either
            EXPECT_EQ(in.part_length(), 0u);
            char byte;
            EXPECT_EQ(in.readsome(&byte, 1), 0);
            ASSERT_EQ(in.next_part(), 9);
            EXPECT_EQ(in.next_part(), -1);
            EXPECT_TRUE(in.eof() && in.fail());
            EXPECT_EQ(in.current_type, -1);
            EXPECT_EQ(in.next_part(), -1);
            if (with_tee) { EXPECT_TRUE(tee.str() == sample); }
            // The hash finished at the end covers every byte from the package
            // header on, skipped or read.
            if (hashing) { EXPECT_EQ(buffer_digest(in), sample_digest); }
            // Only a source that can seek, with nothing to see the bytes, is
            // not read through.
            if (test_source* counter = src.counter()) {
                EXPECT_EQ(counter->bytes_read < sample.size() - big.size(), k == in_seekable && !hashing && !with_tee);
            }
        }
    }
}

TEST(PackageIstreamTest, SeekingWithinAPart) {
    const std::streamoff length = static_cast<std::streamoff>(big.size());
    for (int k = in_string; k <= in_os_pipe; ++k) {
        for (bool hashing : {false, true}) {
            SCOPED_TRACE(std::string(kind_names[k]) + (hashing ? " hashing" : ""));
            source src(kind(k), sample);
            package_istream in(src.stream(), hashing);
            in.wanted_types = {24, 4};
            ASSERT_EQ(in.next_part(), 24);
            in.seekg(5);
            if (k == in_string) { EXPECT_EQ(in.rdbuf()->in_avail(), 2); }
            ASSERT_EQ(in.next_part(), 4);
            const auto consumed = [&] {  // part offset plus tellg is what the source handed out
                if (test_source* counter = src.counter()) {
                    EXPECT_EQ(in.part_offset() + in.tellg(), static_cast<std::streamoff>(counter->consumed()));
                }
            };
            in.seekg(30000, std::ios_base::end);  // counts back from the end of the part
            EXPECT_EQ(in.tellg(), length - 30000);
            consumed();
            EXPECT_EQ(in.get(), static_cast<unsigned char>(big[length - 30000]));
            in.seekg(99, std::ios_base::cur);
            EXPECT_EQ(in.tellg(), length - 30000 + 100);
            consumed();
            in.seekg(length + 1);  // past the end: refused, position kept
            EXPECT_TRUE(in.fail());
            in.clear();
            EXPECT_EQ(in.tellg(), length - 30000 + 100);
            // Backwards only where the source can seek and nothing has to
            // see the bytes again.
            const bool back = !hashing && k != in_pipe && k != in_os_pipe;
            EXPECT_EQ(in.seekg(5).fail(), !back);
            in.clear();
            EXPECT_EQ(in.tellg(), back ? 5 : length - 30000 + 100);
            if (back) { EXPECT_EQ(in.get(), static_cast<unsigned char>(big[5])); }
            in.seekg(0, std::ios_base::end);
            EXPECT_EQ(in.tellg(), length);
            consumed();
            EXPECT_EQ(read_all(in), "");
            EXPECT_EQ(in.next_part(), -1);
            if (hashing) { EXPECT_EQ(buffer_digest(in), sample_digest); }
        }
    }
}

// A byte put back is hashed and copied to the tee once; a putback the
// source refuses leaves every byte to reach both once.
TEST(PackageIstreamTest, PutBack) {
    for (int row = 0; row < 3; ++row) {
        const bool refused = row == 2;
        test_source::options opts;
        opts.putback = false;
        test_source refusing(sample, opts);
        std::istream refusing_stream(&refusing);
        source src(row == 1 ? in_file : in_string, sample);
        std::ostringstream tee;
        package_istream in(refused ? refusing_stream : src.stream(), true, tee.rdbuf());
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

// Package headers start a new message, a type-25 part switches to SHA-256
// (the last 12 bytes of the buffer stay zero after SHA-1), and the check
// reads the signature bytes past the hash but into the tee: nothing below
// 68 bytes, 68 below 132, else 132; the rest stays in the part. A file cut
// inside its signature gives 0, and what did arrive is accounted for.
TEST(PackageIstreamTest, SignatureParts) {
    const std::string first = part(1, pattern(36, 4)) + part(24, "abc") + part(9, std::string(68, 'x'));
    const std::string second = part(1, pattern(32, 5)) + part(25, "") + part(3, pattern(34, 6));
    const std::string head = file(first + part(16, "mips") + second + part(9, ""));
    const std::size_t switch_at = 8 + first.size() + 10 + 38, second_signature = head.size() - 6;
    const struct {
        std::uint32_t length, read;
        std::size_t cut;  // bytes of the file missing at its end
        bool hashing;
    } rows[] = {{0, 0, 0, true}, {67, 0, 0, true}, {68, 68, 0, true}, {131, 68, 0, true}, {132, 132, 0, true},
                {140, 132, 0, true}, {132, 0, 0, false}, {132, 102, 30, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.length) + " cut " + std::to_string(r.cut) + (r.hashing ? "" : " no hashing"));
        std::string bytes = head.substr(0, second_signature) + part(9, pattern(r.length, 8)) + part(16, "i386");
        bytes = file(bytes.substr(8)).substr(0, bytes.size() - (r.cut ? 10 + r.cut : 0));
        std::istringstream raw(bytes);
        std::ostringstream tee;
        package_istream in(raw, r.hashing, tee.rdbuf());
        in.wanted_types = {9};
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        if (r.hashing) { EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(8, first.size() - 68), false)); }
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        EXPECT_EQ(in.parts().remaining(), r.length - r.read);
        EXPECT_EQ(in.tellg(), std::streamoff(r.read));
        EXPECT_EQ(tee.str().size(), second_signature + 6 + r.read);
        if (r.hashing) { EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(switch_at, second_signature + 6 - switch_at), true)); }
        std::string rest(in.parts().remaining(), '\0');
        EXPECT_EQ(bool(in.read(rest.data(), static_cast<std::streamsize>(rest.size()))), !r.cut);
        in.clear();
        EXPECT_EQ(rest.substr(0, r.length - r.read - r.cut), bytes.substr(second_signature + 6 + r.read, r.length - r.read - r.cut));
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(tee.str() == bytes);
    }
}

TEST(PackageIstreamTest, BrokenAndTruncatedFiles) {
    const std::string h = part(1, pattern(36, 9));
    const struct {
        const char* what;
        std::string bytes;
        bool bad;   // refused at construction
        int parts;  // parts of type 1 found before -1
    } cases[] = {
        {"empty file", "", true, 0},
        {"short file header", file("").substr(0, 5), true, 0},
        {"big-endian numbers", std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + h, true, 0},
        {"unknown magic", file(h, 0x12345678), true, 0},
        {"only the file header", file(""), false, 0},
        {"part header cut short", file(h + h.substr(0, 3)), false, 1},
        {"part data cut short", file(h + part_claiming(1, 100, pattern(50, 1))), false, 2},
        {"length 4 GiB", file(h + part_claiming(1, 0xFFFFFFFF, pattern(50, 1))), false, 2},
    };
    for (const auto& c : cases) {
        for (int k = in_string; k <= in_os_pipe; ++k) {
            for (bool hashing : {false, true}) {
                SCOPED_TRACE(std::string(c.what) + " " + kind_names[k] + (hashing ? " hashing" : ""));
                source src(kind(k), c.bytes);
                package_istream in(src.stream(), hashing);
                EXPECT_EQ(in.bad(), c.bad);
                in.wanted_types = {1};
                int found = 0;
                for (; in.next_part() == 1; ++found) read_all(in);
                EXPECT_EQ(found, c.parts);
                EXPECT_TRUE(in.fail() && in.current_type == -1);
                EXPECT_EQ(in.next_part(), -1);
            }
        }
    }
    std::istringstream second(file(h, 0xA1100FFB));
    EXPECT_TRUE(package_istream(second, false).has_second_magic());
    // With no type wanted, the whole file is read through the hash and the tee.
    std::istringstream whole(sample);
    std::ostringstream tee;
    package_istream in(whole, true, tee.rdbuf());
    EXPECT_EQ(in.next_part(), -1);
    EXPECT_TRUE(tee.str() == sample);
    EXPECT_EQ(buffer_digest(in), sample_digest);
}

namespace {

// A source whose every operation throws, as a file stream's buffer does on
// an I/O error of the device, once limit bytes have been read.
class failing_source : public std::streambuf {
public:
    failing_source(std::string data, std::size_t limit) : data_(std::move(data)), limit_(limit) {}

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(n), data_.size() - next_);
        if (next_ + want > limit_) throw std::ios_base::failure("device error");
        std::memcpy(s, data_.data() + next_, want);
        next_ += want;
        return static_cast<std::streamsize>(want);
    }
    int_type underflow() override { throw std::ios_base::failure("device error"); }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
        throw std::ios_base::failure("device error");
    }

private:
    std::string data_;
    std::size_t limit_, next_ = 0;
};

// A source of any length, zero past its first bytes, that seeks forward
// anywhere: a file larger than 4 GiB.
class endless_source : public std::streambuf {
public:
    explicit endless_source(std::string start) : start_(std::move(start)) {}

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i, ++position_) s[i] = position_ < start_.size() ? start_[position_] : '\0';
        return n;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (dir != std::ios_base::cur) return pos_type(off_type(-1));
        return pos_type(off_type(position_ += static_cast<std::uint64_t>(off)));
    }

private:
    std::string start_;
    std::uint64_t position_ = 0;
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
            EXPECT_LT(parts, 3) << limit;
            EXPECT_TRUE(in.fail());
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
