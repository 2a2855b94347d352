#include "stream/package_istream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "platform/hash.h"
#include "qpk/writer.h"
#include "stream/package_bytes.h"
#include "stream/test_sources.h"
#include "support/temp_root.h"
#include "verify/vectors.h"

using namespace test_bytes;

namespace {

enum class source_kind { string_stream, file, seekable, pipe, os_pipe };

const char* kind_name(source_kind kind) {
    switch (kind) {
    case source_kind::string_stream: return "stringstream";
    case source_kind::file: return "file";
    case source_kind::seekable: return "seekable";
    case source_kind::pipe: return "pipe";
    case source_kind::os_pipe: return "os pipe";
    }
    return "?";
}

const source_kind all_kinds[] = {source_kind::string_stream, source_kind::file, source_kind::seekable,
                                 source_kind::pipe, source_kind::os_pipe};

// One source of package bytes: a string stream, a real file, or a counting
// buffer that can or cannot seek.
class source {
public:
    source(source_kind kind, const std::string& bytes) {
        switch (kind) {
        case source_kind::string_stream:
            stream_ = std::make_unique<std::istringstream>(bytes);
            break;
        case source_kind::file:
            dir_ = std::make_unique<temp_root>();
            dir_->write_file("/tmp/package", bytes);
            stream_ = std::make_unique<std::ifstream>(dir_->host("/tmp/package"), std::ios::binary);
            break;
        case source_kind::os_pipe: {
            // A file stream on a real pipe, as the installer reads standard
            // input. The bytes fit the pipe's buffer, so no writer has to run.
            int fds[2];
            if (::pipe(fds) != 0 || bytes.size() > 65536 ||
                ::write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                throw std::runtime_error("cannot fill a pipe");
            ::close(fds[1]);
            stream_ = std::make_unique<std::ifstream>("/dev/fd/" + std::to_string(fds[0]), std::ios::binary);
            ::close(fds[0]);
            break;
        }
        case source_kind::seekable:
        case source_kind::pipe:
            buffer_ = std::make_unique<test_source>(bytes, kind == source_kind::pipe ? pipe_options()
                                                                                      : test_source::options{});
            stream_ = std::make_unique<std::istream>(buffer_.get());
            break;
        }
    }
    std::istream& stream() { return *stream_; }
    test_source* counter() { return buffer_.get(); }

private:
    std::unique_ptr<temp_root> dir_;
    std::unique_ptr<test_source> buffer_;
    std::unique_ptr<std::istream> stream_;
};

std::string pattern(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return out;
}

// Everything left in the current part. The read asks for more than the
// part holds, so it ends with end of file and fail set; those are cleared as
// a caller would before the next part.
std::string read_all(std::istream& in, std::size_t limit = 1 << 20) {
    std::string out(limit, '\0');
    in.read(out.data(), static_cast<std::streamsize>(limit));
    out.resize(static_cast<std::size_t>(in.gcount()));
    EXPECT_TRUE(in.eof());
    in.clear();
    return out;
}

// Large byte strings compare without printing them whole.
#define EXPECT_SAME_BYTES(a, b) EXPECT_TRUE((a) == (b)) << "sizes " << (a).size() << " and " << (b).size()

digest buffer_digest(package_istream& in) { return digest_from(in.parts().digest()); }

// A package header, an unwanted part, a text, a part much longer than the
// skip buffer, an empty part and a signature part.
struct sample {
    std::string header = pattern(36, 1);
    std::string unwanted = pattern(10, 2);
    std::string text = "123 456";
    std::string big = pattern(40000, 3);
    std::string signature = std::string(132, '\0');
    std::string bytes = file(part(1, header) + part(7, unwanted) + part(24, text) + part(4, big) + part(2, "") +
                             part(9, signature));
    // Offsets of the part headers.
    std::size_t header_at = 8;
    std::size_t text_at = 8 + 6 + 36 + 6 + 10;
    std::size_t big_at = text_at + 6 + 7;
};

}  // namespace

TEST(PackageIstreamTest, VectorDigestAtEverySignaturePart) {
    auto files = read_vector_files(std::string(VECTORS_DIR) + "/packages.txt");
    ASSERT_EQ(files.size(), 5u);
    // The files reach their levels under their own keys, which are the
    // build's unless it was configured with a product key file.
    const verify::public_keys keys = test_vectors::package_vector_keys();
    const bool build_keys = test_vectors::build_has_vector_keys();
    for (const vector_file& vf : files) {
        SCOPED_TRACE(vf.comment);
        std::vector<signature_range> ranges = signature_ranges(vf.bytes);
        ASSERT_EQ(ranges.size(), vf.levels.size());

        std::vector<qpk::digest_buffer> written;
        std::string error;
        ASSERT_TRUE(qpk::signature_digests(vf.bytes, written, error)) << error;
        ASSERT_EQ(written.size(), ranges.size());

        for (source_kind kind : all_kinds) {
            SCOPED_TRACE(kind_name(kind));
            source src(kind, vf.bytes);
            std::ostringstream tee;
            package_istream in(src.stream(), true, tee.rdbuf());
            ASSERT_TRUE(in.good());
            EXPECT_EQ(in.total_size(), vf.bytes.size());
            in.wanted_types = {9};
            for (std::size_t i = 0; i < ranges.size(); ++i) {
                ASSERT_EQ(in.next_part(), 9);
                EXPECT_EQ(build_keys ? in.verify_signature() : in.verify_signature(keys), vf.levels[i]);
                digest expected = digest_of(vf.bytes.substr(ranges[i].begin, ranges[i].end - ranges[i].begin),
                                            ranges[i].sha256);
                EXPECT_EQ(buffer_digest(in), expected) << "signature " << i;
                EXPECT_EQ(written[i], expected) << "signature " << i;
            }
            EXPECT_EQ(in.next_part(), -1);
            EXPECT_SAME_BYTES(tee.str(), vf.bytes);
        }
    }
}

TEST(PackageIstreamTest, WantedPartsAreBoundedAndOthersSkipped) {
    sample s;
    for (source_kind kind : all_kinds) {
        for (bool hashing : {false, true}) {
            for (bool with_tee : {false, true}) {
                SCOPED_TRACE(std::string(kind_name(kind)) + (hashing ? " hashing" : "") + (with_tee ? " tee" : ""));
                source src(kind, s.bytes);
                std::ostringstream tee;
                package_istream in(src.stream(), hashing, with_tee ? tee.rdbuf() : nullptr);
                EXPECT_FALSE(in.has_second_magic());
                in.wanted_types = {1, 24, 2, 9};

                ASSERT_EQ(in.next_part(), 1);
                EXPECT_EQ(in.current_type, 1);
                EXPECT_EQ(in.part_length(), 36u);
                EXPECT_EQ(in.part_offset(), s.header_at + 6);
                // A read asking for more than the part holds stops at its end.
                char over[100];
                in.read(over, sizeof over);
                EXPECT_EQ(std::string(over, static_cast<std::size_t>(in.gcount())), s.header);
                EXPECT_TRUE(in.eof() && in.fail());
                // A caller clears the failed read before going on.
                EXPECT_EQ(in.next_part(), -1);
                in.clear();

                // The unwanted part 7 is passed over.
                ASSERT_EQ(in.next_part(), 24);
                EXPECT_EQ(in.part_offset(), s.text_at + 6);
                int a = 0, b = 0, c = 0;
                in >> a >> b;
                EXPECT_EQ(a, 123);
                EXPECT_EQ(b, 456);
                EXPECT_FALSE(in >> c);  // the next part's bytes are out of reach
                in.clear();

                // The big part 4 is not wanted either, the empty part 2 is.
                ASSERT_EQ(in.next_part(), 2);
                EXPECT_EQ(in.part_length(), 0u);
                char byte;
                EXPECT_EQ(in.readsome(&byte, 1), 0);
                EXPECT_EQ(read_all(in), "");

                ASSERT_EQ(in.next_part(), 9);
                EXPECT_EQ(in.next_part(), -1);
                EXPECT_EQ(in.current_type, -1);
                EXPECT_TRUE(in.eof());
                EXPECT_TRUE(in.fail());
                EXPECT_EQ(in.next_part(), -1);

                if (with_tee) {
                    EXPECT_SAME_BYTES(tee.str(), s.bytes);
                }
                if (hashing) {
                    // At the end of the file the hash is finished: it covers
                    // every byte from the package header on, skipped or read.
                    EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
                }
                if (test_source* counter = src.counter()) {
                    if (kind == source_kind::pipe || hashing || with_tee)
                        EXPECT_EQ(counter->bytes_read, s.bytes.size());
                    else
                        EXPECT_LT(counter->bytes_read, s.bytes.size() - s.big.size());
                }
            }
        }
    }
}

TEST(PackageIstreamTest, ReadsCrossSourceRefillsAndPartBoundaries) {
    sample s;
    for (source_kind kind : all_kinds) {
        SCOPED_TRACE(kind_name(kind));
        source src(kind, s.bytes);
        package_istream in(src.stream(), true);
        in.wanted_types = {1, 4};
        ASSERT_EQ(in.next_part(), 1);
        // Character reads, a peek and block reads mixed within one part.
        EXPECT_EQ(in.get(), static_cast<unsigned char>(s.header[0]));
        EXPECT_EQ(in.peek(), static_cast<unsigned char>(s.header[1]));
        char block[20];
        in.read(block, 20);
        EXPECT_EQ(std::string(block, 20), s.header.substr(1, 20));
        EXPECT_EQ(read_all(in), s.header.substr(21));
        ASSERT_EQ(in.next_part(), 4);
        EXPECT_SAME_BYTES(read_all(in), s.big);
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
    }
}

TEST(PackageIstreamTest, OffsetPlusTellgIsTheBytesConsumed) {
    sample s;
    for (source_kind kind : {source_kind::seekable, source_kind::pipe}) {
        for (bool hashing : {false, true}) {
            SCOPED_TRACE(std::string(kind_name(kind)) + (hashing ? " hashing" : ""));
            source src(kind, s.bytes);
            package_istream in(src.stream(), hashing);
            in.wanted_types = {1, 24, 4};
            auto check = [&] {
                std::streamoff told = in.tellg();
                in.clear(in.rdstate() & ~std::ios_base::eofbit);
                EXPECT_EQ(in.part_offset() + told, static_cast<std::streamoff>(src.counter()->consumed()));
            };
            while (in.next_part() != -1) {
                check();
                in.get();
                check();
                // Forward to 3 bytes before the part's end.
                in.seekg(3, std::ios_base::end);
                EXPECT_TRUE(in.good());
                check();
                char block[333];
                in.read(block, sizeof block);
                in.clear();
                check();
            }
        }
    }
}

TEST(PackageIstreamTest, SeekingWithinAPart) {
    sample s;
    for (source_kind kind : all_kinds) {
        for (bool hashing : {false, true}) {
            SCOPED_TRACE(std::string(kind_name(kind)) + (hashing ? " hashing" : ""));
            source src(kind, s.bytes);
            package_istream in(src.stream(), hashing);
            in.wanted_types = {4};
            ASSERT_EQ(in.next_part(), 4);
            const std::streamoff length = static_cast<std::streamoff>(s.big.size());

            // seekg(k, end) counts back from the end of the part.
            in.seekg(30000, std::ios_base::end);
            ASSERT_TRUE(in.good());
            EXPECT_EQ(in.tellg(), length - 30000);
            EXPECT_EQ(in.get(), static_cast<unsigned char>(s.big[length - 30000]));

            // Forward from the current position.
            in.seekg(99, std::ios_base::cur);
            EXPECT_EQ(in.tellg(), length - 30000 + 100);

            // Past the end of the part: refused, position kept.
            in.seekg(length + 1);
            EXPECT_TRUE(in.fail());
            in.clear();
            EXPECT_EQ(in.tellg(), length - 30000 + 100);

            // Backwards works only where the source can seek and nothing
            // has to see the bytes again.
            bool can_go_back = !hashing && kind != source_kind::pipe && kind != source_kind::os_pipe;
            in.seekg(5);
            EXPECT_EQ(in.fail(), !can_go_back);
            in.clear();
            if (can_go_back) {
                EXPECT_EQ(in.tellg(), 5);
                EXPECT_EQ(in.get(), static_cast<unsigned char>(s.big[5]));
            } else {
                EXPECT_EQ(in.tellg(), length - 30000 + 100);
            }

            // To the very end; a read there delivers nothing.
            in.seekg(0, std::ios_base::end);
            EXPECT_EQ(in.tellg(), length);
            EXPECT_EQ(read_all(in), "");
            in.clear();
            EXPECT_EQ(in.next_part(), -1);
            if (hashing) {
                EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
            }
        }
    }
}

TEST(PackageIstreamTest, PutBackByteIsHashedAndCopiedOnce) {
    sample s;
    for (source_kind kind : {source_kind::string_stream, source_kind::file}) {
        SCOPED_TRACE(kind_name(kind));
        source src(kind, s.bytes);
        std::ostringstream tee;
        package_istream in(src.stream(), true, tee.rdbuf());
        in.wanted_types = {1, 24};
        ASSERT_EQ(in.next_part(), 1);
        // Nothing of the part consumed yet: nothing to give back.
        EXPECT_EQ(in.rdbuf()->sungetc(), std::char_traits<char>::eof());

        char first[5];
        in.read(first, 5);
        ASSERT_TRUE(in.putback(first[4]));
        ASSERT_TRUE(in.unget());
        EXPECT_EQ(in.tellg(), 3);
        EXPECT_EQ(read_all(in), s.header.substr(3));

        ASSERT_EQ(in.next_part(), 24);
        EXPECT_EQ(in.get(), '1');
        ASSERT_TRUE(in.putback('1'));
        EXPECT_EQ(in.get(), '1');
        EXPECT_EQ(in.next_part(), -1);

        EXPECT_SAME_BYTES(tee.str(), s.bytes);
        EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
    }
}

TEST(PackageIstreamTest, RefusedPutBackLeavesTheHashWhole) {
    sample s;
    test_source::options opts;
    opts.putback = false;
    test_source buffer(s.bytes, opts);
    std::istream raw(&buffer);
    std::ostringstream tee;
    package_istream in(raw, true, tee.rdbuf());
    in.wanted_types = {1};
    ASSERT_EQ(in.next_part(), 1);
    char c = static_cast<char>(in.get());
    EXPECT_FALSE(in.putback(c));
    in.clear();
    EXPECT_EQ(read_all(in), s.header.substr(1));
    EXPECT_EQ(in.next_part(), -1);
    // Every byte reached the hash and the tee exactly once.
    EXPECT_SAME_BYTES(tee.str(), s.bytes);
    EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
}

TEST(PackageIstreamTest, EmptyWantedTypesReadToTheEnd) {
    sample s;
    for (source_kind kind : all_kinds) {
        SCOPED_TRACE(kind_name(kind));
        source src(kind, s.bytes);
        std::ostringstream tee;
        package_istream in(src.stream(), true, tee.rdbuf());
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(in.eof() && in.fail());
        EXPECT_SAME_BYTES(tee.str(), s.bytes);
        EXPECT_EQ(buffer_digest(in), digest_of(s.bytes.substr(s.header_at), false));
    }
}

TEST(PackageIstreamTest, HashSwitchAndPackageHeadersStartMessages) {
    // Two packages; the second switches to SHA-256 after its header.
    std::string first = part(1, pattern(36, 4)) + part(24, "abc") + part(9, std::string(68, 'x'));
    std::string second = part(1, pattern(32, 5)) + part(25, "") + part(3, pattern(34, 6)) + part(9, std::string(132, 'y'));
    std::string bytes = file(first + part(16, "mips") + second);
    std::size_t second_at = 8 + first.size() + 6 + 4;
    std::size_t switch_at = second_at + 6 + 32;

    for (source_kind kind : all_kinds) {
        SCOPED_TRACE(kind_name(kind));
        source src(kind, bytes);
        package_istream in(src.stream(), true);
        in.wanted_types = {9};
        ASSERT_EQ(in.next_part(), 9);
        in.verify_signature();
        digest one = digest_of(bytes.substr(8, first.size() - 68), false);
        EXPECT_EQ(buffer_digest(in), one);
        // SHA-1 leaves the last 12 bytes of the buffer zero.
        EXPECT_EQ(std::string(in.parts().digest() + 20, in.parts().digest() + 32), std::string(12, '\0'));
        ASSERT_EQ(in.next_part(), 9);
        in.verify_signature();
        EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(switch_at, bytes.size() - 132 - switch_at), true));
    }
}

TEST(PackageIstreamTest, SignatureBytesBypassTheHashButReachTheTee) {
    std::string body = part(1, pattern(36, 7)) + part(9, pattern(140, 8)) + part(16, "i386");
    std::string bytes = file(body);
    for (bool hashing : {false, true}) {
        std::istringstream raw(bytes);
        std::ostringstream tee;
        package_istream in(raw, hashing, tee.rdbuf());
        in.wanted_types = {9, 16};
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        // Without hashing nothing is read; with it the 132 signature bytes are.
        EXPECT_EQ(in.parts().remaining(), hashing ? 8u : 140u);
        ASSERT_EQ(in.next_part(), 16);
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_SAME_BYTES(tee.str(), bytes);
        if (hashing) {
            // After the check the hash starts again after the signature bytes.
            std::size_t rest = 8 + 6 + 36 + 6 + 132;
            EXPECT_EQ(buffer_digest(in), digest_of(bytes.substr(rest), false));
        }
    }
    // A part too short for a signature is not read by the check.
    std::string short_file = file(part(1, pattern(36, 7)) + part(9, std::string(67, 's')));
    std::istringstream raw(short_file);
    package_istream in(raw, true);
    in.wanted_types = {9};
    ASSERT_EQ(in.next_part(), 9);
    EXPECT_EQ(in.verify_signature(), 0);
    EXPECT_EQ(in.parts().remaining(), 67u);
}

TEST(PackageIstreamTest, BrokenAndTruncatedFiles) {
    struct broken_case {
        const char* what;
        std::string bytes;
        bool bad;             // refused at construction
        int parts_before_end;  // parts of type 1 found before -1
    };
    std::string header = part(1, pattern(36, 9));
    const broken_case cases[] = {
        {"empty file", "", true, 0},
        {"short file header", file("").substr(0, 5), true, 0},
        {"big-endian numbers", std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + header, true, 0},
        {"unknown magic", file(header, 0x12345678), true, 0},
        {"only the file header", file(""), false, 0},
        {"part header cut short", file(header + header.substr(0, 3)), false, 1},
        {"part data cut short", file(header + part_claiming(1, 100, pattern(50, 1))), false, 2},
        {"length 4 GiB", file(header + part_claiming(1, 0xFFFFFFFF, pattern(50, 1))), false, 2},
    };
    for (const broken_case& c : cases) {
        for (source_kind kind : all_kinds) {
            for (bool hashing : {false, true}) {
                SCOPED_TRACE(std::string(c.what) + " " + kind_name(kind) + (hashing ? " hashing" : ""));
                source src(kind, c.bytes);
                package_istream in(src.stream(), hashing);
                EXPECT_EQ(in.bad(), c.bad);
                in.wanted_types = {1};
                int found = 0;
                while (in.next_part() == 1) {
                    ++found;
                    read_all(in);
                }
                EXPECT_EQ(found, c.parts_before_end);
                EXPECT_EQ(in.current_type, -1);
                EXPECT_TRUE(in.fail());
                EXPECT_EQ(in.next_part(), -1);
            }
        }
    }
    std::istringstream second(file(header, 0xA1100FFB));
    package_istream in(second, false);
    EXPECT_TRUE(in.good());
    EXPECT_TRUE(in.has_second_magic());
}

TEST(PackageIstreamTest, ImageDescriptionReadSeeksOverUnwantedParts) {
    // A description, then a large image part and file archive that a reader
    // of the description has no use for.
    std::string description = part(1, pattern(36, 1)) + part(24, "t") + part(3, le16(0));
    std::string bytes = file(description + part(21, pattern(1 << 20, 2)) + part(4, pattern(1 << 20, 3)) +
                             part(9, std::string(132, '\0')));
    for (source_kind kind : {source_kind::seekable, source_kind::pipe}) {
        SCOPED_TRACE(kind_name(kind));
        source src(kind, bytes);
        package_istream in(src.stream(), false);
        in.wanted_types = {18, 1, 24, 23, 3, 19, 17};
        int count = 0;
        while (in.next_part() != -1) ++count;
        EXPECT_EQ(count, 3);
        if (kind == source_kind::seekable) {
            EXPECT_LT(src.counter()->bytes_read, 8 + description.size() + 64);
            EXPECT_GE(src.counter()->seeks, 2u);
        } else {
            // A pipe cannot seek: everything is read.
            EXPECT_EQ(src.counter()->bytes_read, bytes.size());
        }
    }
}

TEST(PackageIstreamTest, AvailableBytesStopAtThePartEnd) {
    sample s;
    std::istringstream raw(s.bytes);
    package_istream in(raw, false);
    in.wanted_types = {24};
    ASSERT_EQ(in.next_part(), 24);
    EXPECT_EQ(in.rdbuf()->in_avail(), static_cast<std::streamsize>(s.text.size()));
    in.seekg(5);
    EXPECT_EQ(in.rdbuf()->in_avail(), 2);
}

namespace {

// A source whose every operation throws, as a file stream's buffer does on
// an I/O error of the device, once limit bytes have been read.
class failing_source : public std::streambuf {
public:
    failing_source(std::string data, std::size_t limit) : data_(std::move(data)), limit_(limit) {}

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        std::size_t left = data_.size() - next_;
        std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(n), left);
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
    std::size_t limit_;
    std::size_t next_ = 0;
};

// A source of any length that holds zero bytes everywhere but its first ones
// and seeks anywhere, standing in for a file larger than 4 GiB.
class endless_source : public std::streambuf {
public:
    explicit endless_source(std::string start) : start_(std::move(start)) {}

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i, ++position_)
            s[i] = position_ < start_.size() ? start_[static_cast<std::size_t>(position_)] : '\0';
        return n;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (dir != std::ios_base::cur) return pos_type(off_type(-1));
        position_ += static_cast<std::uint64_t>(off);
        return pos_type(off_type(position_));
    }

private:
    std::string start_;
    std::uint64_t position_ = 0;
};

}  // namespace

TEST(PackageIstreamTest, ASourceThatThrowsReadsAsTheEndOfTheData) {
    std::string bytes = file(part(1, pattern(36, 9)) + part(23, pattern(4000, 3)) + part(3, pattern(2, 0)));
    for (std::size_t limit : {std::size_t{0}, std::size_t{20}, std::size_t{100}, std::size_t{3000}}) {
        for (bool hashing : {false, true}) {
            SCOPED_TRACE(std::to_string(limit) + (hashing ? " hashing" : ""));
            failing_source src(bytes, limit);
            std::istream source(&src);
            package_istream in(source, hashing);
            in.wanted_types = {1, 23, 3};
            int parts = 0;
            while (in.next_part() != -1) {
                ++parts;
                read_all(in);
                in.peek();
            }
            EXPECT_LT(parts, 3);
            EXPECT_TRUE(in.fail());
        }
    }
}

TEST(PackageIstreamTest, OffsetsNeverWrapPast4GiB) {
    // The second part claims almost 4 GiB; a seekable source passes over it
    // without reading, and the header after it would lie past 4 GiB.
    std::string start = file(part(1, pattern(36, 9)) + part_claiming(5, 0xFFFFFFF0, ""));
    endless_source src(start);
    std::istream source(&src);
    package_istream in(source, false);
    in.wanted_types = {1, 5, 0};
    EXPECT_EQ(in.next_part(), 1);
    EXPECT_EQ(in.next_part(), 5);
    EXPECT_EQ(in.part_offset(), 8u + 6 + 36 + 6);
    EXPECT_EQ(in.next_part(), -1);
    EXPECT_EQ(in.current_type, -1);
}
