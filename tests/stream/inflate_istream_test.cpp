#include "stream/inflate_istream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "qpk/writer.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "stream/test_sources.h"

namespace {

// Partly compressible data, so that the compressed input and the inflated
// windows fall at unrelated places.
std::string sample_data(std::size_t n) {
    std::string out(n, '\0');
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = (i / 64) % 3 == 0 ? static_cast<char>(x >> 24) : static_cast<char>('a' + i % 17);
    }
    return out;
}

std::string read_up_to(std::istream& in, std::size_t n) {
    std::string out(n, '\0');
    in.read(out.data(), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

#define EXPECT_SAME_BYTES(a, b) EXPECT_TRUE((a) == (b)) << "sizes " << (a).size() << " and " << (b).size()

}  // namespace

TEST(InflateIstreamTest, ReadsAcrossWindowsWithoutGapOrRepeat) {
    const std::string data = sample_data(50000);
    const std::string packed = qpk::zlib_compress(data);
    ASSERT_FALSE(packed.empty());
    // Block reads of awkward sizes, from a buffered string and from a pipe
    // that hands out 7 bytes at a time.
    // 1-byte block reads feed zlib its header and block headers in pieces,
    // so that some inflate calls take input and write nothing.
    test_source::options trickle = pipe_options();
    trickle.trickle = 1;
    for (int source_kind = 0; source_kind < 3; ++source_kind) {
        SCOPED_TRACE(source_kind);
        test_source src(packed, source_kind == 1 ? pipe_options() : trickle);
        std::istringstream whole(packed);
        std::istream piped(&src);
        inflate_istream in(source_kind != 0 ? piped : static_cast<std::istream&>(whole));
        std::string got;
        for (std::size_t size : {1u, 4095u, 4096u, 4097u, 10000u, 3u}) got += read_up_to(in, size);
        while (got.size() < data.size()) {
            int c = in.get();
            if (c == EOF) break;
            got.push_back(static_cast<char>(c));
            EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(got.size()));
        }
        EXPECT_SAME_BYTES(got, data);
        EXPECT_EQ(in.get(), EOF);
        EXPECT_TRUE(in.eof());
    }
}

TEST(InflateIstreamTest, PutBackAfterARefill) {
    const std::string data = sample_data(20000);
    std::istringstream packed(qpk::zlib_compress(data));
    inflate_istream in(packed);
    std::size_t pos = 0;
    int refills = 0;
    ASSERT_EQ(in.peek(), static_cast<unsigned char>(data[0]));  // the first window
    while (refills < 3) {
        // Empty the get area; the next peek inflates a new window.
        while (in.rdbuf()->in_avail() > 0) {
            ASSERT_EQ(in.get(), static_cast<unsigned char>(data[pos]));
            ++pos;
        }
        ASSERT_EQ(in.peek(), static_cast<unsigned char>(data[pos]));
        ++refills;
        ASSERT_TRUE(in.putback(data[pos - 1])) << "refill " << refills;
        EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(pos - 1));
        EXPECT_EQ(in.get(), static_cast<unsigned char>(data[pos - 1]));
        EXPECT_EQ(in.get(), static_cast<unsigned char>(data[pos]));
        ++pos;
    }
    EXPECT_SAME_BYTES(read_up_to(in, data.size()), data.substr(pos));
}

TEST(InflateIstreamTest, FailedRefillKeepsThePutBackByte) {
    // 5000 bytes: a first window of 4096, then 904. At the end of the data
    // the refill fails; the last window with the byte before it must still
    // be there to put back whole.
    const std::string data = sample_data(5000);
    std::istringstream packed(qpk::zlib_compress(data));
    inflate_istream in(packed);
    EXPECT_SAME_BYTES(read_up_to(in, data.size() + 1), data);
    in.clear();
    for (std::size_t i = 0; i < 905; ++i) ASSERT_TRUE(in.unget()) << i;
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[4095]));
}

TEST(InflateIstreamTest, CorruptOrTruncatedDataReadsShort) {
    const std::string data = sample_data(30000);
    const std::string packed = qpk::zlib_compress(data);
    std::string corrupt = packed;
    for (std::size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    std::string bad_header = packed;
    bad_header[0] = 0x13;
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"corrupt", corrupt},
        {"truncated", packed.substr(0, packed.size() / 2)},
        {"trailer missing", packed.substr(0, packed.size() - 2)},
        {"bad zlib header", bad_header},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream source(c.bytes);
        inflate_istream in(source);
        std::string got = read_up_to(in, data.size() + 10);
        EXPECT_TRUE(in.eof() && in.fail());
        EXPECT_EQ(in.get(), EOF);
        if (std::string(c.what) == "corrupt") {
            // What comes out before zlib notices is not the data.
            EXPECT_FALSE(got == data);
        } else if (std::string(c.what) == "trailer missing") {
            EXPECT_SAME_BYTES(got, data);
        } else {
            EXPECT_LT(got.size(), data.size());
            EXPECT_SAME_BYTES(got, data.substr(0, got.size()));
        }
    }
}

TEST(InflateIstreamTest, BytesAfterTheEndOfTheStreamAreNotDelivered) {
    const std::string data = sample_data(5000);
    std::istringstream source(qpk::zlib_compress(data) + "trailing bytes that are not compressed data");
    inflate_istream in(source);
    EXPECT_SAME_BYTES(read_up_to(in, data.size() + 100), data);
    EXPECT_EQ(in.get(), EOF);
}

TEST(InflateIstreamTest, SkippingOnlyForward) {
    const std::string data = sample_data(20000);
    const std::string packed = qpk::zlib_compress(data);
    {
        std::istringstream source(packed);
        inflate_istream in(source);
        EXPECT_EQ(in.get(), static_cast<unsigned char>(data[0]));
        ASSERT_TRUE(in.seekg(9999, std::ios_base::cur));
        EXPECT_EQ(in.tellg(), 10000);
        EXPECT_EQ(read_up_to(in, 10), data.substr(10000, 10));
        // To an absolute position ahead, then back: refused.
        ASSERT_TRUE(in.seekg(15000));
        EXPECT_EQ(in.get(), static_cast<unsigned char>(data[15000]));
        EXPECT_FALSE(in.seekg(100));
        in.clear();
        EXPECT_FALSE(in.seekg(-1, std::ios_base::cur));
        in.clear();
        EXPECT_FALSE(in.seekg(0, std::ios_base::end));
        in.clear();
        // Up to the very end works, one byte past it does not.
        ASSERT_TRUE(in.seekg(static_cast<std::streamoff>(data.size() - 15001), std::ios_base::cur));
        EXPECT_EQ(in.get(), EOF);
    }
    {
        std::istringstream source(packed);
        inflate_istream in(source);
        EXPECT_FALSE(in.seekg(static_cast<std::streamoff>(data.size() + 1), std::ios_base::cur));
    }
}

TEST(InflateIstreamTest, StackedOnAPackagePart) {
    using namespace test_bytes;
    const std::string data = sample_data(40000);
    const std::string packed = qpk::zlib_compress(data);
    const std::string bytes = file(part(1, std::string(36, 'h')) + part(4, packed) + part(4, "") + part(9, std::string(132, '\0')));
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "seekable");
        test_source src(bytes, pipe ? pipe_options() : test_source::options{});
        std::istream raw(&src);
        std::ostringstream tee;
        package_istream in(raw, true, tee.rdbuf());
        in.wanted_types = {4, 9};
        ASSERT_EQ(in.next_part(), 4);
        {
            inflate_istream inflated(in);
            EXPECT_SAME_BYTES(read_up_to(inflated, data.size() + 1), data);
        }
        // The compressed bytes stayed within the part and passed the hash.
        ASSERT_EQ(in.next_part(), 4);
        {
            inflate_istream empty(in);
            EXPECT_EQ(empty.get(), EOF);
            EXPECT_TRUE(empty.eof());
        }
        ASSERT_EQ(in.next_part(), 9);
        in.verify_signature();
        EXPECT_EQ(digest_from(in.parts().digest()), digest_of(bytes.substr(8, bytes.size() - 8 - 132), false));
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_SAME_BYTES(tee.str(), bytes);
    }
}
