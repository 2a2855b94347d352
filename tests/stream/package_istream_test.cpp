#include "stream/package_istream.h"

#include <gtest/gtest.h>

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

}  // namespace

// With and without hashing and tee, over sources that can and cannot seek: parts are bounded, unwanted ones skipped
// (not read where the source seeks and nothing sees the bytes); part_offset() + tellg() is what the source handed out;
// seeks go back only where the source seeks and nothing sees the bytes again; a putback reaches hash and tee once, also
// where the source refuses it. (The bytes delivered: the hostile-input test.)
TEST(PackageIstreamTest, PartsAreBoundedSkippedSeekedAndPutBack) {
    // A package header, an unwanted part, a part longer than the skip buffer, an empty part, a signature.
    const std::string header = byte_pattern(36);
    const std::string big = byte_pattern(40000);
    const std::string sample =
        file(part(1, header) + part(7, byte_pattern(10)) + part(4, big) + part(2, "") + part(9, std::string(132, 0)));
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
        EXPECT_TRUE(in.next_part() == -1 && in.eof() && in.fail() && in.current_type == -1);
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(!with_tee || tee.str() == sample);
        EXPECT_TRUE(!hashing || digest_from(in.parts().digest()) == digest_of(sample.substr(8), false));
        EXPECT_EQ(src.bytes_read < sample.size() - big.size() + 100, back);
    }
}

// Package headers start a message, a type-25 part switches to SHA-256; the check reads past the hash into the tee
// (bytes put back first too) nothing below 68 bytes, 68 below 132, else 132, the rest staying in the part; nothing
// without hashing; in a file cut inside its signature, what arrived.
TEST(PackageIstreamTest, SignatureParts) {
    const std::string first = part(1, byte_pattern(36)) + part(24, "abc") + part(9, std::string(68, 'x'));
    const std::string second =
        part(16, "mips") + part(1, byte_pattern(32)) + part(25, "") + part(3, byte_pattern(34));
    const std::string head = file(first + second);
    const std::size_t switch_at = 8 + first.size() + 48;
    const struct {
        std::uint32_t length, read;
        std::size_t cut;
        bool hashing, peek_back;
    } rows[] = {
        {0, 0, 0, true, false},
        {67, 0, 0, true, false},
        {68, 68, 0, true, true},
        {131, 68, 0, true, false},
        {132, 132, 0, true, true},
        {140, 132, 0, true, false},
        {132, 0, 0, false, false},
        {132, 102, 30, true, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.length);
        const std::string whole = file(head.substr(8) + part(9, byte_pattern(r.length)) + part(16, "i386"));
        const std::string bytes = whole.substr(0, whole.size() - (r.cut ? 10 + r.cut : 0));
        std::istringstream raw(bytes);
        std::ostringstream tee;
        package_istream in(raw, r.hashing, tee.rdbuf());
        in.wanted_types = {9};
        ASSERT_EQ(in.next_part(), 9);
        EXPECT_EQ(in.verify_signature(), 0);
        const digest first_digest = digest_of(bytes.substr(8, first.size() - 68), false);
        EXPECT_TRUE(!r.hashing || digest_from(in.parts().digest()) == first_digest);
        ASSERT_EQ(in.next_part(), 9);
        if (r.peek_back) {
            in.get();
            in.unget();
        }
        EXPECT_EQ(in.verify_signature(), 0);
        EXPECT_EQ(in.parts().remaining(), r.length - r.read);
        EXPECT_EQ(in.tellg(), r.read);
        EXPECT_EQ(tee.str().size(), head.size() + 6 + r.read);
        const std::string covered = bytes.substr(switch_at, head.size() + 6 + r.peek_back - switch_at);
        EXPECT_TRUE(!r.hashing || digest_from(in.parts().digest()) == digest_of(covered, true));
        std::string rest(in.parts().remaining(), '\0');
        EXPECT_EQ(bool(in.read(rest.data(), static_cast<std::streamsize>(rest.size()))), !r.cut);
        in.clear();
        const std::size_t arrived = r.length - r.read - r.cut;
        EXPECT_EQ(rest.substr(0, arrived), bytes.substr(head.size() + 6 + r.read, arrived));
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_EQ(tee.str(), bytes);
    }
}

// Files short, of another magic, with stray bytes after them or a part beyond their end, or from a source that throws
// as a file stream does on a device error: refused at once, or ended by next_part at the declared end, before the stray
// bytes or at the error; only the first is whole. (Files cut anywhere: the hostile-input test.)
TEST(PackageIstreamTest, HandMadeFiles) {
    const std::string h = part(1, byte_pattern(36));
    const std::string whole = file(h + part(9, std::string(68, 's')));  // 124 bytes
    std::string longer = whole;
    longer[4] = static_cast<char>(longer[4] + 6);
    const struct {
        std::string bytes;
        bool refused;  // at construction
        int parts;     // found
        bool whole;
        std::size_t fail_at = std::string::npos;  // the source throws from here on
    } cases[] = {
        {"", true, 0, false},
        {file("").substr(0, 5), true, 0, false},
        {std::string("\xBA\xD0\xF1\x1E\x00\x00\x00\x2a", 8) + h, true, 0, false},
        {file(h, 0x12345678), true, 0, false},
        {file(""), false, 0, true},
        {whole, false, 2, true},
        {whole + "xyz", false, 2, false},
        {longer, false, 2, false},
        {file(h + part_claiming(1, 100, byte_pattern(50))), false, 2, false},
        {file(h + part_claiming(1, 0xFFFFFFFF, byte_pattern(50))), false, 2, false},
        {file(h + part(9, byte_pattern(4000))), true, 0, false, 0},
        {file(h + part(9, byte_pattern(4000))), false, 1, false, 20},
        {file(h + part(9, byte_pattern(4000))), false, 2, false, 100},
    };
    for (const auto& c : cases) {
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(c.bytes.size() * 10 + k);
            test_source src(c.bytes, {.seekable = k < 2, .fail_at = c.fail_at});
            std::istream source(&src);
            package_istream in(source, k % 2);
            in.wanted_types = {1, 9};
            int found = 0;
            for (; in.next_part() != -1; ++found) read_all(in);
            EXPECT_EQ(in.bad(), c.refused);
            EXPECT_EQ(found, c.parts);
            // Without hashing, a source that seeks like a file skips the unread rest of a part past its end unseen;
            // the readers that ask whether a file is whole all hash.
            EXPECT_TRUE(k == 0 || in.ended_at_declared_size() == c.whole);
            EXPECT_TRUE(in.fail() && in.current_type == -1 && in.next_part() == -1);
        }
    }
}

// A part header past 4 GiB ends the file instead of wrapping the offsets.
TEST(PackageIstreamTest, EndlessSource) {
    const std::string h = part(1, byte_pattern(36));
    test_source buffer(file(h + part_claiming(5, 0xFFFFFFF0, "")), {.zeros_after = true});
    std::istream source(&buffer);
    package_istream in(source, false);
    in.wanted_types = {1, 5};
    EXPECT_EQ(in.next_part(), 1);
    EXPECT_EQ(in.next_part(), 5);
    EXPECT_EQ(in.part_offset(), 56u);
    EXPECT_EQ(in.next_part(), -1);  // the end, not a wrapped offset
}
