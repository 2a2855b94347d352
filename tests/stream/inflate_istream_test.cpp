#include "stream/inflate_istream.h"

#include <gtest/gtest.h>

#include "qpk/writer.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "stream/test_sources.h"
#include "support/host_files.h"

namespace {

const std::string data = byte_pattern(20000);
const std::string packed = qpk::zlib_compress(data);

std::string read_up_to(std::istream& in, std::size_t n) {
    std::string out(n, '\0');
    out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(n)).gcount()));
    return out;
}

int byte_at(std::size_t pos) { return static_cast<unsigned char>(data[pos]); }

}  // namespace

// Blocks of awkward sizes and single characters, from a pipe that hands out 7 bytes at a time or 1 (zlib's headers
// arrive in pieces, so that some calls take input and write nothing), and stacked on a package part whose bytes stay
// within it; the byte before each refill can be put back, and the whole last window after the refill at the end of the
// data fails.
TEST(InflateIstreamTest, ReadsAcrossWindowsWithoutGapOrRepeat) {
    for (std::size_t trickle : {0, 1}) {
        test_source src(packed, {false, true, trickle});
        std::istream piped(&src);
        inflate_istream in(piped);
        std::string got;
        for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3u}) got += read_up_to(in, size);
        for (int c; got.size() < data.size() && (c = in.get()) != EOF;) got.push_back(static_cast<char>(c));
        EXPECT_TRUE(got == data && in.get() == EOF && in.tellg() == -1);
    }
    using namespace test_bytes;
    std::istringstream raw(file(part(1, std::string(36, 'h')) + part(4, packed) + part(4, "") + part(9, "")));
    package_istream stream(raw, true);
    stream.wanted_types = {4};
    ASSERT_EQ(stream.next_part(), 4);
    inflate_istream in(stream);
    std::size_t pos = 0;
    std::size_t window = 0;
    while (in.peek() != EOF) {
        if (pos > 0) {
            ASSERT_TRUE(in.putback(data[pos - 1])) << pos;
            EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(pos - 1));
            EXPECT_EQ(in.get(), byte_at(pos - 1));
        }
        window = static_cast<std::size_t>(in.rdbuf()->in_avail());
        while (in.rdbuf()->in_avail() > 0) ASSERT_EQ(in.get(), byte_at(pos++));
    }
    in.clear();
    for (std::size_t i = 0; i <= window; ++i) ASSERT_TRUE(in.unget()) << i;
    EXPECT_EQ(pos, data.size());
    EXPECT_EQ(in.get(), byte_at(data.size() - window - 1));
    ASSERT_EQ(stream.next_part(), 4);
    EXPECT_EQ(inflate_istream(stream).get(), EOF);
}

// Bytes after the end of the compressed stream are not delivered, nor keep it inflating for ever (broken or cut data:
// the hostile-input test). Positions count the bytes handed out; seeks go forward only.
TEST(InflateIstreamTest, TrailingBytesAndSeeking) {
    std::istringstream trailing(packed + "trailing bytes that are not compressed data");
    inflate_istream after(trailing);
    EXPECT_EQ(read_up_to(after, data.size() + 10), data);
    EXPECT_TRUE(after.eof() && after.fail() && after.get() == EOF);
    std::istringstream source(packed);
    inflate_istream in(source);
    EXPECT_EQ(in.get(), byte_at(0));
    EXPECT_TRUE(in.seekg(9999, std::ios_base::cur) && in.tellg() == 10000);
    EXPECT_EQ(read_up_to(in, 10), data.substr(10000, 10));
    EXPECT_TRUE(in.seekg(15000) && in.get() == byte_at(15000));
    for (const auto& [off, dir] : {std::pair{100, std::ios::beg}, {-1, std::ios::cur}, {0, std::ios::end}}) {
        EXPECT_TRUE(in.seekg(off, dir).fail());
        in.clear();
    }
    EXPECT_TRUE(in.seekg(static_cast<std::streamoff>(data.size() - 15001), std::ios_base::cur) && in.get() == EOF);
    std::istringstream again(packed);
    EXPECT_FALSE(inflate_istream(again).seekg(static_cast<std::streamoff>(data.size() + 1), std::ios_base::cur));
}
