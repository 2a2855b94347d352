#include "store/package_format.h"

#include <gtest/gtest.h>

#include <sstream>

#include "qpk/writer.h"
#include "resolve/version.h"
#include "stream/package_bytes.h"

using test_bytes::file;
using test_bytes::le16;
using test_bytes::le32;
using test_bytes::part;

namespace {

// Opens bytes as a package stream with the given wanted types and moves to
// the first wanted part.
struct opened {
    std::istringstream source;
    package_istream stream;
    template <std::size_t N>
    opened(const std::string& bytes, const std::array<std::uint32_t, N>& wanted)
        : source(bytes), stream(source, true) {
        add_wanted_types(stream, wanted);
        stream.next_part();
    }
};

std::string header_data(std::string name_field, std::uint32_t version, std::uint32_t build_time) {
    name_field.resize(16, '\0');
    return name_field + le32(version) + le32(build_time) + std::string(8, 'u');
}

std::string entry(const std::string& name, std::uint32_t minimum, std::uint32_t maximum, std::int32_t precedence) {
    std::string field = name;
    field.resize(16, '\0');
    return field + le32(minimum) + le32(0xDEADBEEF) + le32(maximum) + le32(static_cast<std::uint32_t>(precedence));
}

const requirement sys{"system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), 0};
const requirement prov{"web", make_version(1, 2, 'b', 3), 0, -7};
const requirement other{"other", 0, 0, 12};

}  // namespace

TEST(PackageFormatTest, EveryOptionalPartPresentOrAbsent) {
    // Each of the seven description parts, and the image part, on or off.
    for (unsigned mask = 0; mask < 256; ++mask) {
        SCOPED_TRACE(mask);
        qpk::package_contents contents;
        contents.name = "pkg";
        contents.version = make_version(6, 41, 'c', 2);
        contents.build_time = 1700000000;
        contents.header_flags = 0x80000003;
        if (mask & 1) contents.text24 = std::string("t24\0x", 5);
        if (mask & 2) contents.architecture = "powerpc";
        if (mask & 4) contents.text2 = "t2";
        if (mask & 8) contents.note = "a note";
        if (mask & 16) contents.dependencies = std::vector<requirement>{sys, other};
        if (mask & 32) contents.provisions = std::vector<requirement>{prov};
        if (mask & 64) contents.conflicts = std::vector<requirement>{other};
        if (mask & 128) contents.image = "image bytes";
        contents.files = std::vector<qpk::file_item>{qpk::regular_file("bin/x", "x")};
        std::string bytes = qpk::build_package(contents);

        opened scan(bytes, scan_wanted_types);
        package_description d;
        ASSERT_TRUE(read_description(d, scan.stream));
        EXPECT_EQ(d.name, "pkg");
        EXPECT_EQ(d.version, contents.version);
        EXPECT_EQ(d.build_time, 1700000000u);
        EXPECT_EQ(d.header_flags, 0x80000003u);
        EXPECT_FALSE(d.bundle);
        EXPECT_EQ(d.text24, contents.text24.value_or(""));
        EXPECT_EQ(d.architecture, contents.architecture.value_or("i386"));
        EXPECT_EQ(d.text2, contents.text2.value_or(""));
        EXPECT_EQ(d.note, contents.note.value_or(""));
        EXPECT_EQ(d.dependencies, contents.dependencies.value_or(std::vector<requirement>{}));
        EXPECT_EQ(d.provisions, contents.provisions.value_or(std::vector<requirement>{}));
        EXPECT_EQ(d.conflicts, contents.conflicts.value_or(std::vector<requirement>{}));
        EXPECT_EQ(d.image, contents.image.has_value());
        // The image part stays current and unread; the scan wants nothing after it.
        EXPECT_EQ(scan.stream.current_type, contents.image ? 21 : -1);
        if (contents.image) {
            EXPECT_EQ(scan.stream.tellg(), 0);
        }

        // Loading an image skips architecture, text 2 and the image part.
        opened image(bytes, image_wanted_types);
        package_description from_image;
        ASSERT_TRUE(read_description(from_image, image.stream));
        EXPECT_EQ(from_image.architecture, "i386");
        EXPECT_EQ(from_image.text2, "");
        EXPECT_FALSE(from_image.image);
        EXPECT_EQ(from_image.note, d.note);
        EXPECT_EQ(from_image.dependencies, d.dependencies);

        // Installing skips the texts and stops at the image or the archive.
        opened install(bytes, install_wanted_types);
        package_description installing;
        ASSERT_TRUE(read_description(installing, install.stream));
        EXPECT_EQ(installing.text24, "");
        EXPECT_EQ(installing.note, "");
        EXPECT_EQ(installing.architecture, d.architecture);
        EXPECT_EQ(installing.provisions, d.provisions);
        EXPECT_EQ(install.stream.current_type, contents.image ? 21 : 4);
    }
}

TEST(PackageFormatTest, HeaderPartVariants) {
    const struct {
        const char* what;
        std::string header;
        bool ok;
        std::string name;
        std::uint32_t flags;
    } cases[] = {
        {"flags", header_data("abc", 1, 2) + le32(5), true, "abc", 5},
        {"32 bytes", header_data("abc", 1, 2), true, "abc", 0},
        {"33 bytes", header_data("abc", 1, 2) + "x", true, "abc", 0},
        {"35 bytes", header_data("abc", 1, 2) + "xyz", true, "abc", 0},
        {"longer than needed", header_data("abc", 1, 2) + le32(9) + "more", true, "abc", 9},
        {"31 bytes", header_data("abc", 1, 2).substr(0, 31), false, "", 0},
        {"16 characters", header_data("sixteen-chars-ab", 1, 2), true, "sixteen-chars-ab", 0},
        {"empty name", header_data(std::string(16, '\0'), 1, 2), true, "", 0},
        {"text after the NUL", header_data(std::string("ab\0cd", 5) + std::string(11, 'z'), 1, 2), true, "ab", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = file(part(1, c.header) + part(16, "mips") + part(23, "n") + part(9, ""));
        opened in(bytes, scan_wanted_types);
        package_description d;
        EXPECT_EQ(read_description(d, in.stream), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(d.name, c.name);
        EXPECT_EQ(d.version, 1u);
        EXPECT_EQ(d.build_time, 2u);
        EXPECT_EQ(d.header_flags, c.flags);
        // The parts after a short header are still read.
        EXPECT_EQ(d.architecture, "mips");
        EXPECT_EQ(d.note, "n");
    }
    // A bundle header.
    std::string bundle = file(part(18, header_data("pack", 3, 4) + le32(0)) + part(20, le16(0)));
    opened in(bundle, scan_wanted_types);
    package_description d;
    ASSERT_TRUE(read_description(d, in.stream));
    EXPECT_TRUE(d.bundle);
    EXPECT_EQ(d.name, "pack");
    // Not at a header part.
    std::string no_header = file(part(24, "x") + part(1, header_data("a", 1, 1)));
    opened wrong(no_header, scan_wanted_types);
    EXPECT_FALSE(read_description(d, wrong.stream));
}

TEST(PackageFormatTest, RequirementLists) {
    const std::string header = part(1, header_data("p", 1, 1) + le32(0));
    struct list_case {
        const char* what;
        std::string data;
        bool ok;
        std::vector<requirement> expected;
    };
    const list_case cases[] = {
        {"empty list", le16(0), true, {}},
        {"two entries", le16(2) + entry("system", sys.minimum, sys.maximum, 0) + entry("web", prov.minimum, 0, -7), true,
         {sys, {"web", prov.minimum, 0, -7}}},
        {"16-character name", le16(1) + entry("abcdefghijklmnop", 0, 0, 1), true, {{"abcdefghijklmnop", 0, 0, 1}}},
        {"more bytes than entries", le16(1) + entry("a", 1, 2, 3) + "extra", true, {{"a", 1, 2, 3}}},
        {"count promises two, one present", le16(2) + entry("a", 1, 2, 3), false, {{"a", 1, 2, 3}}},
        {"count promises 65535", le16(0xFFFF), false, {}},
        {"no count", "", false, {}},
        {"one byte of count", "\x01", false, {}},
    };
    for (const list_case& c : cases) {
        SCOPED_TRACE(c.what);
        // Directly, then as the dependency list of a description.
        {
            std::string bytes = file(part(3, c.data));
            opened in(bytes, scan_wanted_types);
            std::vector<requirement> list{other};
            EXPECT_EQ(read_requirements(in.stream, list), c.ok);
            std::vector<requirement> expected{other};
            expected.insert(expected.end(), c.expected.begin(), c.expected.end());
            EXPECT_EQ(list, expected);
        }
        for (std::uint16_t type : {3, 19, 17}) {
            std::string bytes = file(header + part(type, c.data) + part(21, ""));
            opened in(bytes, scan_wanted_types);
            package_description d;
            EXPECT_EQ(read_description(d, in.stream), c.ok);
            if (c.ok) {
                const auto& list = type == 3 ? d.dependencies : type == 19 ? d.provisions : d.conflicts;
                EXPECT_EQ(list, c.expected);
                EXPECT_TRUE(d.image);
            }
        }
    }
}

TEST(PackageFormatTest, PartsOutOfOrderEndTheDescription) {
    const std::string header = part(1, header_data("p", 1, 1) + le32(0));
    // A second dependency list is left current.
    {
        std::string bytes = file(header + part(3, le16(1) + entry("a", 0, 0, 0)) + part(3, le16(0)) + part(21, ""));
        opened in(bytes, scan_wanted_types);
        package_description d;
        ASSERT_TRUE(read_description(d, in.stream));
        EXPECT_EQ(d.dependencies.size(), 1u);
        EXPECT_EQ(in.stream.current_type, 3);
        EXPECT_FALSE(d.image);
    }
    // The note before the architecture: the architecture is never reached.
    {
        std::string bytes = file(header + part(23, "n") + part(16, "arm"));
        opened in(bytes, scan_wanted_types);
        package_description d;
        ASSERT_TRUE(read_description(d, in.stream));
        EXPECT_EQ(d.note, "n");
        EXPECT_EQ(d.architecture, "i386");
        EXPECT_EQ(in.stream.current_type, 16);
    }
    // Unknown part types are skipped wherever they stand.
    {
        std::string bytes = file(header + part(99, "?") + part(16, "arm") + part(25, "") + part(23, "n"));
        opened in(bytes, scan_wanted_types);
        package_description d;
        ASSERT_TRUE(read_description(d, in.stream));
        EXPECT_EQ(d.architecture, "arm");
        EXPECT_EQ(d.note, "n");
        EXPECT_EQ(in.stream.current_type, -1);
    }
}

TEST(PackageFormatTest, DeclaredLengthBeyondTheFileAllocatesOnlyWhatArrives) {
    // A text part whose length field promises 4 GiB in a file of a hundred
    // bytes: the text holds what the part delivered, and reading stops there.
    const std::string header = part(1, header_data("p", 1, 1) + le32(0));
    for (std::uint16_t type : {24, 16, 2, 23}) {
        SCOPED_TRACE(type);
        std::string bytes = file(header + test_bytes::part_claiming(type, 0xFFFFFFFF, "only these bytes"));
        opened in(bytes, scan_wanted_types);
        package_description d;
        EXPECT_TRUE(read_description(d, in.stream));
        const std::string& got = type == 24 ? d.text24 : type == 16 ? d.architecture : type == 2 ? d.text2 : d.note;
        EXPECT_EQ(got, "only these bytes");
        EXPECT_LE(got.capacity(), 4096u);
        EXPECT_EQ(in.stream.current_type, -1);
    }
    // A long text that is really there is read across read chunks, but only
    // its first 64 KiB are kept; the rest goes with the part and the parts
    // after it are read as usual.
    std::string long_text(3 << 20, 'x');
    for (std::size_t i = 0; i < long_text.size(); i += 7) long_text[i] = static_cast<char>(i);
    std::string bytes = file(header + part(23, long_text) + part(3, std::string(2, '\0')));
    opened in(bytes, scan_wanted_types);
    package_description d;
    ASSERT_TRUE(read_description(d, in.stream));
    EXPECT_TRUE(d.note == long_text.substr(0, max_text_part));
    EXPECT_LE(d.note.capacity(), 2u * max_text_part);
    EXPECT_EQ(in.stream.current_type, -1);
}

TEST(PackageFormatTest, FileEntryHeader) {
    std::string entries = qpk::encode_file_entries({qpk::regular_file("/etc/x", "data", 0750, 3),
                                                    qpk::directory_entry("etc"), qpk::symlink_entry("l", "target")});
    const unsigned char* p = reinterpret_cast<const unsigned char*>(entries.data());
    file_entry e = parse_file_entry_header(p);
    EXPECT_EQ(e.mode, 0100750);
    EXPECT_TRUE(e.is_regular());
    EXPECT_EQ(e.processor_class, 3);
    EXPECT_EQ(e.size, 4u);
    EXPECT_EQ(e.name_length, 6u);
    EXPECT_EQ(entries.substr(file_entry_header_size, 6), "/etc/x");
    p += file_entry_header_size + 6 + 4;
    e = parse_file_entry_header(p);
    EXPECT_EQ(e.mode & file_type_mask, file_type_directory);
    EXPECT_FALSE(e.is_regular());
    p += file_entry_header_size + 3;
    e = parse_file_entry_header(p);
    EXPECT_EQ(e.mode, 0120777);
    EXPECT_EQ(e.size, 6u);
}
