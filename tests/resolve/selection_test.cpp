#include "resolve/selection.h"

#include <gtest/gtest.h>
#include <map>

#include "platform/hardware.h"
#include "qpk/version_text.h"
#include "resolve/version.h"
#include "support/captured_context.h"
#include "support/package_line.h"

namespace {

class SelectionTest : public testing::Test {
protected:
    void SetUp() override {
        ctx.architecture = "ppc";
        platform::set_hardware(&hw);
    }
    void TearDown() override {
        platform::set_hardware(nullptr);
    }
    void installed(const std::vector<std::string>& lines) {
        ctx.packages.clear();
        for (const std::string& s : lines) ctx.packages.add(line::object(s));
    }

    captured_context console;
    installer_context& ctx = console.ctx;
    platform::fake_hardware hw;
};

// The warnings of filter_candidates, each "KEY:NAME-VERSION" (blank-separated) with KEY n (a newer one is provided),
// o (an older one is, in downgrade mode), a (below the minimum) or f (an older build in flagged state).
std::string warnings(const std::string& keys) {
    std::string out;
    for (const std::string& key : line::words(keys)) {
        const std::string name = key.substr(2);
        if (key[0] == 'n') out += "WARNING: omitting package " + name + ": newer package is already provided\n";
        if (key[0] == 'o') out += "WARNING: omitting package " + name + ": older package is already provided\n";
        if (key[0] == 'a') out += "WARNING: ommitting package " + name + ": not allowed\n";
        if (key[0] == 'f') out += "WARNING: ommiting older package " + name + ": router in flagged state\n";
    }
    return out;
}

}  // namespace

// Flagged state, the installed namesake, the base system test (minimum version, erase blocks), architecture,
// dependencies, conflicts: every reason counts in the flags, and only the first the mask leaves gets its message.
// The router: F flagged, L 256 KiB erase blocks, N no flash device, =VERSION the flash driver's minimum. The message:
// its first letter w, W, e or f for its start ("WARNING: omitting package", "ERROR: omitting package", "ERROR: can not
// install", "WARNING: cannot install older"), then what follows the offered package's name.
TEST_F(SelectionTest, InstallCheck) {
    const std::vector<std::string> x = {"velnor-x-6.40 @200", "enemy !velnor-x"};
    const std::string all = "velnor-x-6.39 @100 arch=i386 >missing";
    const struct {
        std::string router;
        std::vector<std::string> installed;
        std::string offered;
        std::uint32_t mask, flags;
        std::string message;
    } rows[] = {
        {"", {"foo-6.40 @100"}, "foo-6.40 @100", 1, 32, "w it is already installed"},
        {"", {"foo-6.40 @100"}, "foo-6.39 @100", 1, 2, "w newer package foo-6.40 is already installed"},
        {"", {"foo-6.40 @100"}, "foo-6.40 @99", 1, 2, "w newer package foo-6.40 is already installed"},
        {"", {"foo-6.40 @100"}, "foo-6.40 @101", 0, 1, ""},
        {"", {"foo-6.40 @100", "foo-9.0"}, "foo-7.0", 0, 1, ""},
        // Flagged state: a build older than the installed one is refused whatever the mask; branding never.
        {"F", {"foo-6.40 @200"}, "foo-6.39 @100", 1, 26, "f router in flagged state"},
        {"F", {"foo-6.40 @200"}, "foo-6.41 @100", 0xFFFFFFFF, 25, "f router in flagged state"},
        {"F", {"foo-6.40 @200"}, "foo-6.39 @300", 1, 2, "w newer package foo-6.40 is already installed"},
        {"F", {"branding-6.40 @200"}, "branding-6.39 @100", 0, 0, ""},
        // The base system test, on "system" and names beginning with "velnor".
        {"L", {}, "system-3.20rc1", 1, 8, "w it does not support current file system"},
        {"L", {}, "system-3.20rc2", 1, 0, ""},
        {"", {}, "system-3.20rc1", 1, 0, ""},
        {"L", {}, "xvelnor-3.20rc1", 1, 0, ""},
        {"L", {}, "systems-3.20rc1", 1, 0, ""},
        {"=6.40", {}, "system-6.39", 1, 8, "W min Velnor version is 6.40"},
        {"=6.40", {}, "system-6.40", 1, 0, ""},
        {"L=6.40", {}, "system-3.20rc1", 1, 8, "W min Velnor version is 6.40"},
        {"L=6.40", {}, "foo-3.20rc1", 1, 0, ""},
        {"L", {"system-3.20rc1"}, "system-3.20rc1", 1, 40, "w it is already installed"},
        {"NL", {}, "system-3.20rc1", 1, 0, ""},
        {"=6.40", {}, "system-6.39", 8, 8, ""},
        // Architecture: none, or the router's exactly. Dependencies: the first unmet one is named; placeholders,
        // disabled and too old records do not count, providers do. Conflicts: of enabled records only.
        {"", {}, "foo arch=ppc", 1, 0, ""},
        {"", {}, "foo arch=PPC", 1, 8, "e it is not made for ppc, but for PPC"},
        {"", {"a placeholder", "a-6.40 off", "a-6.39"}, "foo >a:6.40 >b", 1, 8,
         "e a-6.40 is not installed, but is required"},
        {"", {"provider-2.0 +a:7.0"}, "foo >a:6.40 >b", 1, 8, "e b is not installed, but is required"},
        {"", {"provider-2.0 +a:7.0", "b-0.1"}, "foo >a:6.40 >b", 1, 0, ""},
        {"", {"off !foo off", "ghost placeholder !foo"}, "foo", 1, 0, ""},
        {"", {"enemy-2.0 !foo", "rival-3.0 !foo"}, "foo", 1, 16, "e it conflicts with enemy-2.0"},
        // Every reason at once: the mask decides which single message is seen.
        {"F=7.0", x, all, 1, 26, "f router in flagged state"},
        {"=7.0", x, all, 1, 26, "w newer package velnor-x-6.40 is already installed"},
        {"=7.0", x, all, 3, 26, "W min Velnor version is 7.0"},
        {"", x, all, 3, 26, "e it is not made for ppc, but for i386"},
        {"", x, "velnor-x-6.39 @100 >missing", 3, 26, "e missing is not installed, but is required"},
        {"=7.0", x, all, 11, 26, "e it conflicts with enemy-1.0"},
        {"=7.0", x, all, 27, 26, ""},
    };
    const std::map<char, std::string> starts = {{'w', "WARNING: omitting package "}, {'W', "ERROR: omitting package "},
        {'e', "ERROR: can not install "}, {'f', "WARNING: cannot install older "}};
    for (const auto& r : rows) {
        hw.flagged = r.router.find('F') != std::string::npos;
        installed(r.installed);
        hw.has_mtd = r.router.find('N') == std::string::npos;
        hw.erase_size = r.router.find('L') != std::string::npos ? 0x40000 : 0x20000;
        hw.min_version = 0;
        const std::size_t minimum = r.router.find('=');
        if (minimum != std::string::npos) qpk::parse_version_text(r.router.substr(minimum + 1), hw.min_version);
        const auto offered = line::object(r.offered);
        EXPECT_EQ(install_check(ctx, *offered, r.mask), r.flags) << r.offered << " " << r.message;
        std::string shown = r.message;
        if (!shown.empty()) shown = starts.at(shown[0]) + name_version_text(*offered) + ":" + shown.substr(1) + "\n";
        EXPECT_EQ(console.take(), shown) << r.offered;
    }
}

// Which of two packages conflicts with (or depends on) the other, asked both ways: by name and range (bounds of 0 are
// open, touching bounds overlap), through provisions and their precedences, through members. The answers: a conflicts
// with b, b with a, a needs b, b needs a.
TEST(SelectionRelationsTest, ConflictsAndDependencies) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"a", "b", "0000"}, {"a !b", "b", "1000"}, {"a !b:2.0", "b", "0000"}, {"a", "b +a:::-1", "1000"},
        {"a", "b +a:::0", "0100"}, {"a +shared:::5", "b +shared:::3", "1000"},
        {"a +shared:::2", "b +shared:::2", "0000"}, {"a +shared:::-1", "b +shared:::-5", "1000"},
        {"a !b", "b +a:::0", "1100"}, {"a +b:::0", "b +a:::0", "0000"}, {"a +b:::0", "b +b:::5", "1000"},
        {"a +shared:::0 +b:::0", "b +shared:::0", "0000"}, {"a !x", "b +a:::0 +x", "0100"},
        {"a", "b +a:::0 {a-1.0}", "0100"}, {"a !x +b:::-1", "b +x", "0100"},
        {"a +shared:::1 {m-1.0 !b}", "b +shared:::1", "0000"}, {"a !x:2.0", "b +x:1.0:3.0", "1000"},
        {"a !x:2.0", "b +x::1.0", "0000"}, {"a !x::6.40", "b +x:6.40", "1000"},
        {"a !x:6.39:6.39", "b +x:6.40:6.50", "0000"}, {"a", "b {a-9.0}", "1000"}, {"a {m-1.0 !b}", "b", "1000"},
        {"a {m-1.0 +b}", "b", "1000"}, {"a !b", "b placeholder !a", "0000"}, {"a >b", "b", "0010"},
        {"a >b:1.0:1.0", "b", "0010"}, {"a >b:1.1", "b", "0000"}, {"a >x:2.0", "b +x", "0010"},
        {"a >x:2.0", "b +x::1.0", "0000"}, {"a >m", "b {m-1.0}", "0010"}, {"a {m-1.0 >b}", "b", "0010"},
        {"a {m-1.0 >n}", "b {n-1.0}", "0010"},
    };
    for (const auto& [a_text, b_text, expected] : cases) {
        const auto a = line::object<package_description>(a_text);
        const auto b = line::object<package_description>(b_text);
        std::string answers;
        for (bool answer : {conflicts_with(*a, *b), conflicts_with(*b, *a), depends_on(*a, *b), depends_on(*b, *a)})
            answers += answer ? '1' : '0';
        EXPECT_EQ(answers, expected) << a_text << " / " << b_text;
    }
}

// Which offered packages are kept, in which order: the newer of a name (the older in downgrade mode, never one below
// the minimum), a bundle over its member's name, in flagged state the latest builds only; independent ones reversed, a
// package right after the last it needs and after one conflicting with it.
TEST_F(SelectionTest, FilterCandidates) {
    const std::uint32_t none = no_minimum_version, v600 = make_version(6, 0, 'f', 0);
    const std::uint32_t v640 = make_version(6, 40, 'f', 0);
    const struct {
        bool flagged;
        std::vector<std::string> offered;
        std::uint32_t minimum;
        bool report;
        std::string kept, warnings;
    } rows[] = {
        {false, {"foo-6.40", "foo-6.41"}, none, true, "foo-6.41", "n:foo-6.40"},
        {false, {"foo-6.40", "foo-6.41"}, none, false, "foo-6.41", ""},
        {false, {"foo-6.40", "foo-6.41"}, v600, true, "foo-6.40", "o:foo-6.41"},
        {false, {"foo-6.40", "foo-6.41"}, 0, true, "foo-6.40", "o:foo-6.41"},
        {false, {"foo-6.39", "bar-1.0", "baz-6.40"}, v640, false, "baz-6.40", "a:foo-6.39 a:bar-1.0"},
        {false, {"foo-6.39", "foo-6.45"}, v640, true, "foo-6.45", "a:foo-6.39"},
        {false, {"pack-6.40 {foo-6.40}", "foo-6.40"}, none, true, "pack-6.40", ""},
        {false, {"foo-6.40", "pack-6.40 {foo-6.40}"}, none, true, "pack-6.40", ""},
        {false, {"pack-9.0 {foo-6.40}", "foo-6.41"}, none, true, "foo-6.41", "n:pack-9.0"},
        {false, {"pack-6.40 {foo-6.40}", "pack-6.40 {foo-6.40}"}, none, true, "", ""},
        {false, {"foo-6.40", "foo-6.40"}, none, true, "", ""},
        {true, {"a @100", "b @200"}, none, true, "b-1.0", "f:a-1.0"},
        {true, {"a @100", "b @200"}, none, false, "b-1.0", ""},
        {true, {"foo-6.41 @100", "foo-6.40 @200"}, none, true, "", "f:foo-6.41 n:foo-6.40"},
        {true, {"foo-6.39 @200", "bar-6.50 @100"}, v640, true, "", "a:foo-6.39 f:bar-6.50"},
        {false, {"foo-6.41 @100", "foo-6.40 @200"}, none, false, "foo-6.41", ""},
        {false, {"a", "b"}, none, true, "b-1.0 a-1.0", ""},
        {false, {"b >a", "a"}, none, true, "a-1.0 b-1.0", ""},
        {false, {"a", "c", "b >a >c"}, none, true, "c-1.0 a-1.0 b-1.0", ""},
        {false, {"b !a", "a"}, none, true, "b-1.0 a-1.0", ""},
        {false, {"a", "b !a"}, none, true, "b-1.0 a-1.0", ""},
    };
    for (const auto& r : rows) {
        hw.flagged = r.flagged;
        std::vector<std::unique_ptr<download_record>> owned;
        std::vector<download_record*> list;
        for (const std::string& s : r.offered) {
            owned.push_back(line::object<download_record>(s));
            list.push_back(owned.back().get());
        }
        filter_candidates(ctx, list, r.minimum, r.report);
        std::string kept;
        for (const download_record* d : list) kept.append(kept.empty() ? "" : " ").append(name_version_text(*d));
        EXPECT_EQ(kept, r.kept) << testing::PrintToString(r.offered);
        EXPECT_EQ(console.take(), warnings(r.warnings)) << testing::PrintToString(r.offered);
    }
}

// By version as an unsigned number, then build time; into the direct members of a bundle by name (the first of the
// name), never deeper; unrelated packages are equal.
TEST(VersionTest, ComparesPackages) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"p @100", "p @200", -1}, {"p @100", "p @100", 0}, {"p-2.0", "p-1.0 @4294967295", 1},
        {"p @2147483648", "p @1", 1}, {"p-128.0", "p-1.0", 1}, {"p-5.0", "q-9.0", 0},
        {"b-9.0 {w-1.0} {s-5.0}", "s-4.0", 1}, {"b-9.0 {w-1.0} {s-5.0}", "s-6.0", -1},
        {"b-1.0 {s-5.0 @9}", "s-5.0 @5", 1}, {"o-1.0 {i-1.0 {d-5.0}}", "d-1.0", 0},
        {"b-1.0 {m-3.0} {m-9.0}", "m-5.0", -1}, {"b-2.0 {b-1.0}", "b-1.0", 1},
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(compare_packages(*line::object(a), *line::object(b)), order) << a << " / " << b;
        EXPECT_EQ(compare_packages(*line::object(b), *line::object(a)), -order) << a << " / " << b;
        EXPECT_EQ(directional_compare(*line::object(a), *line::object(b), true), -order) << a << " / " << b;
    }
}
