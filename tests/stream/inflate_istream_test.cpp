#include "stream/inflate_istream.h"

#include <gtest/gtest.h>

#include "qpk/writer.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "stream/test_sources.h"

namespace {

// Partly compressible, so that compressed input and inflated windows fall at unrelated places.
const std::string data = [] {
    std::string out(20000, '\0');
    for (std::uint32_t i = 0, x = 12345; i < out.size(); ++i, x = x * 1103515245u + 12345u) out[i] = (i / 64) % 3 ? static_cast<char>('a' + i % 17) : static_cast<char>(x >> 24);
    return out;
}();
const std::string packed = qpk::zlib_compress(data);

std::string read_up_to(std::istream& in, std::size_t n) {
    std::string out(n, '\0');
    return out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(n)).gcount())), out;
}

}  // namespace

// Blocks of awkward sizes and single characters, from a pipe that hands out 7 bytes at a time or 1 (zlib's headers arrive in
// pieces, so that some calls take input and write nothing), and stacked on a package part whose bytes stay within it; the byte
// before each refill can be put back, and the last window's too after the refill at the end of the data fails.
TEST(InflateIstreamTest, ReadsAcrossWindowsWithoutGapOrRepeat) {
    for (std::size_t trickle : {0, 1}) {
        test_source::options options = pipe_options();
        options.trickle = trickle;
        test_source src(packed, options);
        std::istream piped(&src);
        inflate_istream in(piped);
        std::string got;
        for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3u}) got += read_up_to(in, size);
        for (int c; got.size() < data.size() && (c = in.get()) != EOF;) got.push_back(static_cast<char>(c));
        EXPECT_TRUE(got == data && in.get() == EOF && in.tellg() == -1);
    }
    using namespace test_bytes;
    const std::string bytes = file(part(1, std::string(36, 'h')) + part(4, packed) + part(4, "") + part(9, std::string(132, 0)));
    std::istringstream raw(bytes);
    std::ostringstream tee;
    package_istream stream(raw, true, tee.rdbuf());
    stream.wanted_types = {4, 9};
    ASSERT_EQ(stream.next_part(), 4);
    inflate_istream in(stream);
    std::size_t pos = 0, window = 0;
    for (; in.peek() != EOF; window = static_cast<std::size_t>(in.rdbuf()->in_avail())) {
        if (pos > 0) {
            ASSERT_TRUE(in.putback(data[pos - 1])) << pos;
            EXPECT_TRUE(in.tellg() == static_cast<std::streamoff>(pos - 1) && in.get() == static_cast<unsigned char>(data[pos - 1]));
        }
        for (window = static_cast<std::size_t>(in.rdbuf()->in_avail()); in.rdbuf()->in_avail() > 0;) ASSERT_EQ(in.get(), static_cast<unsigned char>(data[pos++]));
    }
    in.clear();
    for (std::size_t i = 0; i <= window; ++i) ASSERT_TRUE(in.unget()) << i;
    EXPECT_TRUE(pos == data.size() && in.get() == static_cast<unsigned char>(data[data.size() - window - 1]));
    ASSERT_EQ(stream.next_part(), 4);
    EXPECT_EQ(inflate_istream(stream).get(), EOF);
    ASSERT_EQ(stream.next_part(), 9);
    stream.verify_signature();
    EXPECT_EQ(digest_from(stream.parts().digest()), digest_of(bytes.substr(8, bytes.size() - 8 - 132), false));
    EXPECT_TRUE(stream.next_part() == -1 && tee.str() == bytes);
}

// Corrupt, cut or wrongly headed data reads short and never delivers what is not the data; bytes after the end of the compressed
// stream are not delivered. Positions count the bytes handed out; seeks go forward only.
TEST(InflateIstreamTest, BrokenDataAndSeeking) {
    std::string corrupt = packed, bad_header = packed;
    for (std::size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    bad_header[0] = 0x13;
    const std::tuple<std::string, std::size_t, std::size_t> cases[] = {  // bytes, and the least and most delivered (npos: not the data)
        {corrupt, 0, std::string::npos}, {packed.substr(0, packed.size() / 2), 0, data.size() - 1}, {packed.substr(0, packed.size() - 2), data.size(), data.size()},
        {bad_header, 0, 0}, {"", 0, 0}, {packed + "trailing bytes that are not compressed data", data.size(), data.size()}};
    for (const auto& [bytes, least, most] : cases) {
        std::istringstream source(bytes);
        inflate_istream in(source);
        const std::string got = read_up_to(in, data.size() + 10);
        EXPECT_TRUE(in.eof() && in.fail() && in.get() == EOF);
        EXPECT_TRUE(most == std::string::npos ? got != data : got == data.substr(0, got.size()) && got.size() >= least && got.size() <= most) << got.size();
    }
    std::istringstream source(packed);
    inflate_istream in(source);
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[0]));
    EXPECT_TRUE(in.seekg(9999, std::ios_base::cur) && in.tellg() == 10000 && read_up_to(in, 10) == data.substr(10000, 10));
    EXPECT_TRUE(in.seekg(15000) && in.get() == static_cast<unsigned char>(data[15000]));
    for (const auto& [off, dir] : {std::pair{100, std::ios_base::beg}, std::pair{-1, std::ios_base::cur}, std::pair{0, std::ios_base::end}}) {
        EXPECT_TRUE(in.seekg(off, dir).fail());
        in.clear();
    }
    EXPECT_TRUE(in.seekg(static_cast<std::streamoff>(data.size() - 15001), std::ios_base::cur) && in.get() == EOF);
    std::istringstream again(packed);
    EXPECT_FALSE(inflate_istream(again).seekg(static_cast<std::streamoff>(data.size() + 1), std::ios_base::cur));
}
