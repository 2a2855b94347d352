#include "store/package_format.h"

#include <gtest/gtest.h>

#include <sstream>

#include "resolve/version.h"
#include "stream/package_bytes.h"
#include "support/package_line.h"

using namespace test_bytes;

namespace {

// The description the download scan reads from bytes (or "refused"), "@" the part the stream stands at after.
std::string read_with(const std::string& bytes, std::string* longest = nullptr) {
    std::istringstream source(bytes);
    package_istream stream(source, true);
    add_wanted_types(stream, scan_wanted_types);
    stream.next_part();
    package_description d;
    const bool ok = read_description(d, stream);
    const auto by_capacity = [](auto& a, auto& b) { return a.capacity() < b.capacity(); };
    if (longest) *longest = std::max({d.text24, d.architecture, d.text2, d.note}, by_capacity);
    return (ok ? line::text(d) : "refused") + " @" + std::to_string(stream.current_type);
}

std::string header(const std::string& name, std::uint32_t version = make_version(1, 0, 'f', 0),
    std::uint32_t built = 2) {
    std::string field = name;
    field.resize(16, '\0');
    return field + le32(version) + le32(built) + std::string(8, 'u');
}

std::string entry(const std::string& name, std::uint32_t minimum, std::uint32_t maximum, std::int32_t precedence) {
    std::string field = name;
    field.resize(16, '\0');
    return field + le32(minimum) + le32(0xDEADBEEF) + le32(maximum) + le32(static_cast<std::uint32_t>(precedence));
}

}  // namespace

// Header parts of every length, names of every shape, requirement lists that hold what they promise or not, parts out
// of order, text parts promising more than the file holds (only what arrives is kept).
TEST(PackageFormatTest, DescriptionsFromHandWrittenParts) {
    const std::string h = part(1, header("p") + le32(0));
    const std::string two = le16(2) + entry("system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), 0) +
                            entry("web", make_version(6, 0, 'f', 0), 0, -7);
    const struct {
        std::string body;
        std::string read;
        bool declared_4_gib = false;  // the file header declares the largest size: the part claims no more
    } rows[] = {
        {part(1, header("abc") + le32(5)) + part(16, "mips") + part(23, "n"), "abc-1.0 @2 #5 arch=[mips] note=[n] @-1"},
        {part(1, header("abc") + "xyz") + part(23, "n"), "abc-1.0 @2 arch=[i386] note=[n] @-1"},
        {part(1, header("abc") + le32(9) + "more"), "abc-1.0 @2 #9 arch=[i386] @-1"},
        {part(1, header("abc").substr(0, 31)), "refused @1"},
        {part(1, header(std::string("ab\0cd", 5) + std::string(11, 'z'))), "ab-1.0 @2 arch=[i386] @-1"},
        {part(18, header("pack", make_version(3, 0, 'f', 0), 4) + le32(0)) + part(20, le16(0)),
            "pack-3.0 @4 arch=[i386] bundle @-1"},
        {part(24, "x") + h, "refused @24"},
        {h + part(3, two) + part(19, two) + part(17, le16(1) + entry("abcdefghijklmnop", 0, 0, 1) + "extra") +
             part(21, ""),
         "p-1.0 @2 arch=[i386] % >system:6.40:7.0 >web:6.0::-7 +system:6.40:7.0 +web:6.0::-7 !abcdefghijklmnop:::1 "
             "@21"},
        {h + part(3, le16(2) + entry("a", 1, 2, 3)), "refused @3"},
        {h + part(19, le16(0xFFFF)), "refused @19"},
        {h + part(17, ""), "refused @17"},
        {h + part(3, "\x01"), "refused @3"},
        {h + part(3, le16(1) + entry("a", 0, 0, 0)) + part(3, le16(0)) + part(21, ""), "p-1.0 @2 arch=[i386] >a @3"},
        {h + part(99, "?") + part(16, "arm") + part(25, "") + part(23, "n"), "p-1.0 @2 arch=[arm] note=[n] @-1"},
        {h + part_claiming(24, 0xFFFFFFFF, "only these bytes"), "p-1.0 @2 t24=[only these bytes] arch=[i386] @-1", true},
        {h + part_claiming(16, 0xFFFFFFFF, "only these bytes"), "p-1.0 @2 arch=[only these bytes] @-1", true},
        {h + part_claiming(2, 0xFFFFFFFF, "only these bytes"), "p-1.0 @2 arch=[i386] t2=[only these bytes] @-1", true},
        {h + part_claiming(23, 0xFFFFFFFF, "only these bytes"), "p-1.0 @2 arch=[i386] note=[only these bytes] @-1", true},
    };
    for (const auto& r : rows) {
        std::string longest;
        EXPECT_EQ(read_with(r.declared_4_gib ? file_of_4_gib(r.body) : file(r.body), &longest), r.read);
        EXPECT_LE(longest.capacity(), 4096u) << r.read;  // what the part delivered, not what it promised
    }
    // A long text is read across read chunks, its first 64 KiB kept, the parts after it read as usual.
    std::string long_text(3 << 20, 'x');
    for (std::size_t i = 0; i < long_text.size(); i += 7) long_text[i] = static_cast<char>('a' + i % 26);
    std::string longest;
    EXPECT_EQ(read_with(file(h + part(23, long_text) + part(3, le16(0))), &longest),
              "p-1.0 @2 arch=[i386] note=[" + long_text.substr(0, max_text_part) + "] @-1");
    EXPECT_LE(longest.capacity(), 2u * max_text_part);
}
