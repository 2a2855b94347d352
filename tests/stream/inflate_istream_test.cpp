#include "stream/inflate_istream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "qpk/writer.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "stream/test_sources.h"

namespace {

// Partly compressible data, so that compressed input and inflated windows fall at unrelated places.
const std::string data = [] {
    std::string out(20000, '\0');
    for (std::uint32_t i = 0, x = 12345; i < out.size(); ++i, x = x * 1103515245u + 12345u)
        out[i] = (i / 64) % 3 == 0 ? static_cast<char>(x >> 24) : static_cast<char>('a' + i % 17);
    return out;
}();
const std::string packed = qpk::zlib_compress(data);

std::string read_up_to(std::istream& in, std::size_t n) {
    std::string out(n, '\0');
    out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(n)).gcount()));
    return out;
}

}  // namespace

// Block reads of awkward sizes and single characters, from a buffered
// string, a pipe handing out 7 bytes at a time, and one that hands out 1
// (zlib's headers arrive in pieces: some calls take input and write
// nothing); then the same inflated data stacked on a package part, whose
// compressed bytes stay within the part and pass the hash and the tee.
TEST(InflateIstreamTest, ReadsAcrossWindowsWithoutGapOrRepeat) {
    for (int source_kind = 0; source_kind < 3; ++source_kind) {
        test_source::options options = pipe_options();
        options.trickle = source_kind == 2;
        test_source src(packed, options);
        std::istringstream whole(packed);
        std::istream piped(&src);
        inflate_istream in(source_kind != 0 ? piped : static_cast<std::istream&>(whole));
        std::string got;
        for (std::size_t size : {1u, 4095u, 4096u, 4097u, 10000u, 3u}) got += read_up_to(in, size);
        for (int c; got.size() < data.size() && (c = in.get()) != EOF;) {
            got.push_back(static_cast<char>(c));
            EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(got.size()));
        }
        EXPECT_TRUE(got == data) << source_kind;
        EXPECT_EQ(in.get(), EOF);
    }
    using namespace test_bytes;
    const std::string bytes = file(part(1, std::string(36, 'h')) + part(4, packed) + part(4, "") + part(9, std::string(132, 0)));
    std::istringstream raw(bytes);
    std::ostringstream tee;
    package_istream in(raw, true, tee.rdbuf());
    in.wanted_types = {4, 9};
    ASSERT_EQ(in.next_part(), 4);
    {
        inflate_istream inflated(in);
        EXPECT_TRUE(read_up_to(inflated, data.size() + 1) == data);
    }
    ASSERT_EQ(in.next_part(), 4);
    EXPECT_EQ(inflate_istream(in).get(), EOF);
    ASSERT_EQ(in.next_part(), 9);
    in.verify_signature();
    EXPECT_EQ(digest_from(in.parts().digest()), digest_of(bytes.substr(8, bytes.size() - 8 - 132), false));
    EXPECT_TRUE(in.next_part() == -1 && tee.str() == bytes);
}

// The byte before each refill can be put back; so can the last window's
// when the refill at the end of the data fails.
TEST(InflateIstreamTest, PutBackAcrossRefills) {
    std::istringstream source(packed);
    inflate_istream in(source);
    std::size_t pos = 0, window = 0;
    while (in.peek() != EOF) {  // a peek past the window inflates the next one
        if (pos > 0) {
            ASSERT_TRUE(in.putback(data[pos - 1])) << pos;
            EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(pos - 1));
            EXPECT_EQ(in.get(), static_cast<unsigned char>(data[pos - 1]));
        }
        window = static_cast<std::size_t>(in.rdbuf()->in_avail());
        while (in.rdbuf()->in_avail() > 0) ASSERT_EQ(in.get(), static_cast<unsigned char>(data[pos++]));
    }
    EXPECT_EQ(pos, data.size());
    in.clear();
    for (std::size_t i = 0; i <= window; ++i) ASSERT_TRUE(in.unget()) << i;
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[data.size() - window - 1]));
}

// Corrupt, cut or wrongly headed data reads short and never delivers what
// is not the data; bytes after the end of the compressed stream are not
// delivered either.
TEST(InflateIstreamTest, BrokenDataReadsShort) {
    std::string corrupt = packed, bad_header = packed;
    for (std::size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    bad_header[0] = 0x13;
    const struct {
        std::string bytes;
        std::size_t least, most;  // bytes of the data delivered, from its start; npos: not the data
    } cases[] = {
        {corrupt, 0, std::string::npos},
        {packed.substr(0, packed.size() / 2), 0, data.size() - 1},
        {packed.substr(0, packed.size() - 2), data.size(), data.size()},
        {bad_header, 0, 0},
        {"", 0, 0},
        {packed + "trailing bytes that are not compressed data", data.size(), data.size()},
    };
    for (const auto& c : cases) {
        std::istringstream source(c.bytes);
        inflate_istream in(source);
        const std::string got = read_up_to(in, data.size() + 10);
        EXPECT_TRUE(in.eof() && in.fail());
        EXPECT_EQ(in.get(), EOF);
        if (c.most == std::string::npos) { EXPECT_FALSE(got == data); }
        else EXPECT_TRUE(got == data.substr(0, got.size()) && got.size() >= c.least && got.size() <= c.most);
    }
}

// Positions count the bytes handed out; seeking goes forward only, up to
// the very end.
TEST(InflateIstreamTest, SkippingOnlyForward) {
    std::istringstream source(packed);
    inflate_istream in(source);
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[0]));
    ASSERT_TRUE(in.seekg(9999, std::ios_base::cur));
    EXPECT_EQ(in.tellg(), 10000);
    EXPECT_EQ(read_up_to(in, 10), data.substr(10000, 10));
    ASSERT_TRUE(in.seekg(15000));
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[15000]));
    const std::pair<int, std::ios_base::seekdir> backwards[] = {{100, std::ios_base::beg}, {-1, std::ios_base::cur}, {0, std::ios_base::end}};
    for (auto [off, dir] : backwards) {
        EXPECT_FALSE(in.seekg(off, dir));
        in.clear();
    }
    ASSERT_TRUE(in.seekg(static_cast<std::streamoff>(data.size() - 15001), std::ios_base::cur));
    EXPECT_EQ(in.get(), EOF);
    std::istringstream again(packed);
    EXPECT_FALSE(inflate_istream(again).seekg(static_cast<std::streamoff>(data.size() + 1), std::ios_base::cur));
}
