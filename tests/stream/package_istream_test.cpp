#include "stream/package_istream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "stream/package_bytes.h"
#include "stream/test_sources.h"
#include "support/host_files.h"

using namespace test_bytes;

namespace {

std::string read_all(std::istream& in) {  // the rest of the part; eof and fail cleared as a caller would
    std::string out(1 << 20, '\0');
    out.resize(static_cast<std::size_t>(in.read(out.data(), static_cast<std::streamsize>(out.size())).gcount()));
    in.peek();
    in.clear();
    return out;
}

std::string digest(package_istream& in) { return to_hex(in.parts().digest(), 32); }

}  // namespace

// With and without hashing and tee, over sources that can and cannot seek: parts are bounded, unwanted ones skipped
// (not read where the source seeks and nothing sees the bytes); part_offset() + tellg() is what the source handed out;
// seeks go back only where the source seeks and nothing sees the bytes again; a putback reaches hash and tee once, also
// where the source refuses it; the signature check reads the signature past the hash, which covers the parts from the
// package header through the signature's part header. (The bytes delivered: the hostile-input test.)
TEST(PackageIstreamTest, PartsAreBoundedSkippedSeekedAndPutBack) {
    // A package header, an unwanted part, a part longer than the skip buffer, an empty part, a signature whose part
    // claims 4 GiB.
    const std::string header = byte_pattern(36);
    const std::string big = byte_pattern(40000);
    const std::string sample = file_of_4_gib(part(1, header) + part(7, byte_pattern(10)) + part(4, big) + part(2, "") +
                                    part_claiming(9, 0xFFFFFFFF, std::string(132, 0)));
    const std::streamoff length = static_cast<std::streamoff>(big.size());
    for (int options = 0; options < 12; ++options) {
        const bool hashing = options & 1;
        const bool with_tee = options & 2;
        const bool seekable = options < 4;
        const bool refusing = options >= 8;
        SCOPED_TRACE(options);
        test_source src(sample, {seekable, !refusing, 0});
        std::istream source(&src);
        std::ostringstream tee;
        package_istream in(source, hashing, with_tee ? tee.rdbuf() : nullptr);
        in.wanted_types = {1, 4, 2, 9};
        const auto at = [&](std::streamoff pos) {
            return in.tellg() == pos && in.part_offset() + pos == static_cast<std::streamoff>(src.consumed());
        };
        ASSERT_EQ(in.next_part(), 1);
        EXPECT_EQ(in.rdbuf()->sungetc(), EOF);  // nothing of the part consumed yet
        char block[21];
        in.read(block, 21);
        EXPECT_TRUE(at(21));
        EXPECT_EQ(bool(in.putback(block[20])), !refusing);
        in.clear();
        EXPECT_EQ(bool(in.unget()), !refusing);
        in.clear();
        EXPECT_EQ(read_all(in), header.substr(refusing ? 21 : 19));
        ASSERT_EQ(in.next_part(), 4);  // part 7 is not wanted
        in.seekg(30000, std::ios_base::end);  // counts back from the end of the part
        EXPECT_TRUE(at(length - 30000));
        EXPECT_EQ(in.get(), static_cast<unsigned char>(big[length - 30000]));
        EXPECT_TRUE(in.seekg(99, std::ios_base::cur) && at(length - 29900));
        EXPECT_TRUE(in.seekg(length + 1).fail());  // past the end: refused, the position kept
        in.clear();
        const bool back = !hashing && !with_tee && seekable;
        EXPECT_EQ(in.seekg(5).fail(), !back);
        in.clear();
        EXPECT_TRUE(at(back ? 5 : length - 29900));
        EXPECT_TRUE(in.seekg(0, std::ios_base::end) && at(length) && read_all(in).empty());
        ASSERT_EQ(in.next_part(), 2);
        EXPECT_EQ(in.readsome(block, 1), 0);
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);  // without hashing nothing to check: the signature stays in the part
        EXPECT_EQ(in.tellg(), hashing ? 132 : 0);
        EXPECT_TRUE(!hashing || digest(in) == digest_of(sample.substr(8, sample.size() - 140), false));
        EXPECT_TRUE(in.next_part() == -1 && in.eof() && in.fail() && in.current_type == -1);
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(!with_tee || tee.str() == sample);
        EXPECT_EQ(src.bytes_read < sample.size() - big.size() + 100, back);
    }
}

// Files short, of another magic, with stray bytes after them or a part beyond their declared end, or from a source
// that throws as a file stream does on a device error: refused at once, or ended by next_part at the declared end
// ("whole"), before the stray bytes (zeros without end too) or at the error, after the parts counted. A part header
// past 4 GiB ends the file instead of wrapping the offsets (of a file without hashing: nothing else passes 4 GiB
// quickly). (Files cut anywhere: the hostile test.)
TEST(PackageIstreamTest, HandMadeFiles) {
    const std::string h = part(1, byte_pattern(36));
    const std::string whole = file(h + part(9, std::string(68, 's')));  // 124 bytes
    std::string longer = whole;
    longer[4] = static_cast<char>(longer[4] + 6);
    const struct {
        std::string bytes, outcome;
        std::size_t fail_at = std::string::npos;  // the source throws from here on
        bool endless = false;                     // zeros follow the data for ever
    } cases[] = {
        {"", "refused"},
        {file("").substr(0, 5), "refused"},
        {std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + h, "refused"},
        {file(h, 0x12345678), "refused"},
        {file(""), "0 whole"},
        {whole, "2 whole"},
        {whole + "xyz", "2"},
        {longer, "2"},
        {file(h + part_claiming(1, 100, byte_pattern(50))), "2"},
        {file_of_4_gib(h + part_claiming(1, 0xFFFFFFFF, byte_pattern(50))), "2"},
        {file(h + part_claiming(9, 68, std::string(20, 's'))) + std::string(48, 's'), "2"},
        {file(h + part(9, byte_pattern(4000))), "refused", 0},
        {file(h + part(9, byte_pattern(4000))), "1", 20},
        {file(h + part(9, byte_pattern(4000))), "2", 100},
        {file_of_4_gib(h + part_claiming(9, 0xFFFFFFF0, "")), "2", std::string::npos, true},
        {file(h + part_claiming(9, 0xFFFFFFF0, "")), "2", std::string::npos, true},
        {whole, "2", std::string::npos, true},
        {file(""), "0", std::string::npos, true},
    };
    for (const auto& c : cases) {
        for (int k = 0; k < (c.endless ? 1 : 4); ++k) {
            SCOPED_TRACE(c.bytes.size() * 10 + k);
            test_source src(c.bytes, {.seekable = k < 2, .fail_at = c.fail_at, .zeros_after = c.endless});
            std::istream source(&src);
            package_istream in(source, k % 2);
            in.wanted_types = {1, 9};
            int found = 0;
            for (; in.next_part() != -1; ++found) read_all(in);
            // Without hashing, a source that seeks like a file skips the unread rest of a part past its end unseen;
            // the readers that ask whether a file is whole all hash.
            const bool whole = k == 0 ? c.outcome.ends_with("whole") : in.ended_at_declared_size();
            EXPECT_EQ(in.bad() ? "refused" : std::to_string(found) + (whole ? " whole" : ""), c.outcome);
            // A part claiming more than the declared size is cut there: no more is read than a part header
            // that runs over it.
            const std::uint64_t bound = std::uint64_t{in.total_size()} + part_header_size;
            EXPECT_TRUE(in.bad() || c.fail_at != std::string::npos || src.consumed() < bound) << src.consumed();
            EXPECT_TRUE(in.fail() && in.current_type == -1 && in.next_part() == -1);
        }
    }
    // Of a part claiming 4 GiB, what the source has at hand is at hand (a length past 2 GiB is no negative count).
    std::istringstream claiming(file_of_4_gib(part_claiming(23, 0xFFFFFFFF, "abc")));
    package_istream in(claiming, false);
    in.wanted_types = {23};
    char some[8];
    EXPECT_TRUE(in.next_part() == 23 && in.readsome(some, 8) == 3);
}
