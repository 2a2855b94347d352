#include "resolve/selection.h"

#include <gtest/gtest.h>

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
        set_flagged_state_for_testing(false);
    }
    void installed(const std::vector<std::string>& specs) {
        ctx.packages.clear();
        for (const std::string& s : specs) ctx.packages.push_back(line::object(s));
    }
    package_record* at(std::size_t i) { return ctx.packages.at(i).get(); }

    captured_context console;
    installer_context& ctx = console.ctx;
    platform::fake_hardware hw;
};

}  // namespace

// Flagged state, the installed namesake, the base system test (minimum version, erase blocks), architecture,
// dependencies, conflicts: every reason counts in the flags, and only the first the mask leaves gets its message.
TEST_F(SelectionTest, InstallCheck) {
    const struct {
        bool flagged;
        std::vector<std::string> installed;
        const char* min_version;  // of the flash driver; "" for none
        bool large_blocks;
        std::string offered;
        std::uint32_t mask, flags;
        std::string message;
    } rows[] = {
        {false, {"foo-6.40 @100"}, "", false, "foo-6.40 @100", 1, 32,
         "WARNING: omitting package foo-6.40: it is already installed\n"},
        {false, {"foo-6.40 @100"}, "", false, "foo-6.39 @100", 1, 2,
         "WARNING: omitting package foo-6.39: newer package foo-6.40 is already installed\n"},
        {false, {"foo-6.40 @100"}, "", false, "foo-6.40 @99", 1, 2,
         "WARNING: omitting package foo-6.40: newer package foo-6.40 is already installed\n"},
        {false, {"foo-6.40 @100"}, "", false, "foo-6.41 @50", 1, 1, ""},
        {false, {"foo-6.40 @100"}, "", false, "foo-6.40 @101", 0, 1, ""},
        {false, {"foo-6.40 @100", "foo-9.0"}, "", false, "foo-7.0", 0, 1, ""},
        {false, {}, "", false, "foo-1.0", 0, 0, ""},
        // Flagged state: a build older than the installed one is refused whatever the mask.
        {true, {"foo-6.40 @200"}, "", false, "foo-6.39 @100", 1, 8 | 16 | 2,
         "WARNING: cannot install older foo-6.39: router in flagged state\n"},
        {true, {"foo-6.40 @200"}, "", false, "foo-6.41 @100", 0xFFFFFFFF, 8 | 16 | 1,
         "WARNING: cannot install older foo-6.41: router in flagged state\n"},
        {true, {"foo-6.40 @200"}, "", false, "foo-6.40 @200", 1, 32,
         "WARNING: omitting package foo-6.40: it is already installed\n"},
        {true, {"foo-6.40 @200"}, "", false, "foo-6.39 @300", 1, 2,
         "WARNING: omitting package foo-6.39: newer package foo-6.40 is already installed\n"},
        {true, {"branding-6.40 @200"}, "", false, "branding-6.39 @100", 0, 0, ""},
        {true, {"branding-6.40 @200"}, "", false, "branding-6.40 @200", 0, 0, ""},
        {true, {"branding-6.40 @200"}, "", false, "branding-6.41 @100", 0, 0, ""},
        // The base system test, on "system" and names beginning with "velnor".
        {false, {}, "", true, "system-3.20rc1", 1, 8,
         "WARNING: omitting package system-3.20rc1: it does not support current file system\n"},
        {false, {}, "", true, "system-3.20rc2", 1, 0, ""},
        {false, {}, "", false, "system-3.20rc1", 1, 0, ""},
        {false, {}, "", true, "velnor-3.20rc1", 1, 8,
         "WARNING: omitting package velnor-3.20rc1: it does not support current file system\n"},
        {false, {}, "", true, "velnor-ppc-3.10", 1, 8,
         "WARNING: omitting package velnor-ppc-3.10: it does not support current file system\n"},
        {false, {}, "", true, "xvelnor-3.20rc1", 1, 0, ""},
        {false, {}, "", true, "systems-3.20rc1", 1, 0, ""},
        {false, {}, "", true, "Velnor-ppc-3.20rc1", 1, 0, ""},
        {false, {}, "6.40", false, "system-6.39", 1, 8,
         "ERROR: omitting package system-6.39: min Velnor version is 6.40\n"},
        {false, {}, "6.40", false, "system-6.40", 1, 0, ""},
        {false, {}, "6.40", true, "system-3.20rc1", 1, 8,
         "ERROR: omitting package system-3.20rc1: min Velnor version is 6.40\n"},
        {false, {}, "6.40", true, "foo-3.20rc1", 1, 0, ""},
        {false, {"system-3.20rc1"}, "", true, "system-3.20rc1", 1, 32 | 8,
         "WARNING: omitting package system-3.20rc1: it is already installed\n"},
        // Architecture: none, or the router's exactly.
        {false, {}, "", false, "foo arch=ppc", 1, 0, ""},
        {false, {}, "", false, "foo arch=i386", 1, 8,
         "ERROR: can not install foo-1.0: it is not made for ppc, but for i386\n"},
        {false, {}, "", false, "foo arch=PPC", 1, 8,
         "ERROR: can not install foo-1.0: it is not made for ppc, but for PPC\n"},
        // Dependencies: the first unmet one is named; placeholders, disabled and too old records do not count,
        // providers do.
        {false, {}, "", false, "foo >a:6.40 >b", 1, 8,
         "ERROR: can not install foo-1.0: a-6.40 is not installed, but is required\n"},
        {false, {"a placeholder", "a-6.40 off", "a-6.39"}, "", false, "foo >a:6.40 >b", 1, 8,
         "ERROR: can not install foo-1.0: a-6.40 is not installed, but is required\n"},
        {false, {"provider-2.0 +a:7.0"}, "", false, "foo >a:6.40 >b", 1, 8,
         "ERROR: can not install foo-1.0: b is not installed, but is required\n"},
        {false, {"provider-2.0 +a:7.0", "b-0.1"}, "", false, "foo >a:6.40 >b", 1, 0, ""},
        // Conflicts of enabled records with the offered package.
        {false, {"off !foo off", "ghost placeholder !foo"}, "", false, "foo", 1, 0, ""},
        {false, {"enemy-2.0 !foo", "rival-3.0 !foo"}, "", false, "foo", 1, 16,
         "ERROR: can not install foo-1.0: it conflicts with enemy-2.0\n"},
        // Every reason at once: the mask decides which single message is seen.
        {true, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "7.0", false,
            "velnor-x-6.39 @100 arch=i386 >missing >absent", 1, 8 | 16 | 2,
         "WARNING: cannot install older velnor-x-6.39: router in flagged state\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "7.0", false, "velnor-x-6.39 @100 arch=i386 >missing", 1,
            2 | 8 | 16,
         "WARNING: omitting package velnor-x-6.39: newer package velnor-x-6.40 is already installed\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "7.0", false, "velnor-x-6.39 @100 arch=i386 >missing",
            1 | 2, 2 | 8 | 16,
         "ERROR: omitting package velnor-x-6.39: min Velnor version is 7.0\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "", false, "velnor-x-6.39 @100 arch=i386 >missing", 1 | 2,
            2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: it is not made for ppc, but for i386\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "", false, "velnor-x-6.39 @100 >missing", 1 | 2, 2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: missing is not installed, but is required\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "", false, "velnor-x-6.39 @100", 1 | 2, 2 | 16,
         "ERROR: can not install velnor-x-6.39: it conflicts with enemy-1.0\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "7.0", false, "velnor-x-6.39 @100 arch=i386 >missing",
            1 | 2 | 8, 2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: it conflicts with enemy-1.0\n"},
        {false, {"velnor-x-6.40 @200", "enemy !velnor-x"}, "7.0", false, "velnor-x-6.39 @100 arch=i386 >missing",
            1 | 2 | 8 | 16, 2 | 8 | 16,
         ""}, 
    };
    for (const auto& r : rows) {
        set_flagged_state_for_testing(r.flagged);
        installed(r.installed);
        hw.has_mtd = true;
        hw.erase_size = r.large_blocks ? 0x40000 : 0x20000;
        hw.min_version = 0;
        if (*r.min_version) qpk::parse_version_text(r.min_version, hw.min_version);
        EXPECT_EQ(install_check(ctx, *line::object(r.offered), r.mask), r.flags) << r.offered << " " << r.message;
        EXPECT_EQ(console.take(), r.message) << r.offered;
    }
    // A missing flash device passes both base system tests; without report the answer is the same and nothing is said.
    hw.has_mtd = false;
    hw.erase_size = 0x40000;
    hw.min_version = 0;
    EXPECT_TRUE(compatibility_check(ctx, *line::object("system-1.0"), true));
    hw.min_version = make_version(6, 40, 'f', 0);
    EXPECT_FALSE(compatibility_check(ctx, *line::object("system-1.0"), false));
    EXPECT_EQ(console.take(), "");
}

// Which of two packages conflicts with (or depends on) the other: by name and range, through provisions and their
// precedences, through members.
TEST(SelectionRelationsTest, ConflictsAndDependencies) {
    const struct {
        const char* a;
        const char* b;
        bool a_b, b_a;
    } conflicts[] = {
        {"a", "b", false, false}, {"a !b", "b", true, false}, {"a !b:2.0", "b", false, false}, {"a", "b +a:::-1",
            true, false},
        {"a", "b +a:::0", false, true}, {"a +shared:::5", "b +shared:::3", true, false},
        {"a +shared:::2", "b +shared:::2", false, false}, {"a +shared:::-1", "b +shared:::-5", true, false},
        {"a !b", "b +a:::0", true, true}, {"a +b:::0", "b +a:::0", false, false}, {"a +b:::0", "b +b:::5", true, false},
        {"a +shared:::0 +b:::0", "b +shared:::0", false, false}, {"a !x", "b +a:::0 +x", false, true},
        {"a", "b +a:::0 {a-1.0}", false, true}, {"a !x +b:::-1", "b +x", false, true},
        {"a +shared:::1 {m-1.0 !b}", "b +shared:::1", false, false}, {"a !x:2.0", "b +x:1.0:3.0", true, false},
        {"a !x:2.0", "b +x::1.0", false, false}, {"a", "b {a-9.0}", true, false}, {"a {m-1.0 !b}", "b", true, false},
        {"a {m-1.0 +b}", "b", true, false}, {"a !b", "b placeholder !a", false, false},
    };
    for (const auto& c : conflicts) {
        EXPECT_EQ(conflicts_with(*line::object<package_description>(c.a), *line::object<package_description>(c.b)),
            c.a_b) << c.a << " / " << c.b;
        EXPECT_EQ(conflicts_with(*line::object<package_description>(c.b), *line::object<package_description>(c.a)),
            c.b_a) << c.b << " / " << c.a;
    }
    const struct {
        const char* a;
        const char* b;
        bool a_b;
    } dependencies[] = {
        {"a", "b", false},           {"a >b", "b", true},          {"a >b:1.0:1.0", "b", true},
        {"a >b:1.1", "b", false},    {"a >x:2.0", "b +x", true},  {"a >x:2.0", "b +x::1.0", false},
        {"a >m", "b {m-1.0}", true}, {"a {m-1.0 >b}", "b", true}, {"a {m-1.0 >n}", "b {n-1.0}", true},
    };
    for (const auto& d : dependencies) {
        EXPECT_EQ(depends_on(*line::object<package_description>(d.a), *line::object<package_description>(d.b)), d.a_b)
            << d.a << " / " << d.b;
        EXPECT_FALSE(depends_on(*line::object<package_description>(d.b), *line::object<package_description>(d.a)))
            << d.b << " / " << d.a;
    }
}

// Lookups over the package list, first to last: providers (the first enabled, else the last disabled), conflicts of
// enabled records with a package, candidates for a requirement, and their status.
TEST_F(SelectionTest, LookupsOverThePackageList) {
    installed({"foo off", "foox", "other +bar +foo off", "p +foo", "foo-2.0"});
    EXPECT_EQ(find_provider(ctx, "foo"), at(3));
    EXPECT_EQ(find_provider(ctx, "bar"), at(2));
    EXPECT_EQ(find_provider(ctx, "foox"), at(1));
    EXPECT_EQ(find_provider(ctx, "none"), nullptr);
    installed({"foo off"});
    EXPECT_EQ(find_provider(ctx, "foo"), at(0));

    installed({"ghost placeholder !foo", "off !foo off", "harmless", "first +foo:::1", "second !foo"});
    // the record's view, not the package's
    EXPECT_EQ(find_enabled_conflict(ctx, *line::object("foo !harmless")), at(3));
    ctx.packages.erase(ctx.packages.begin() + 3, ctx.packages.end());
    EXPECT_EQ(find_enabled_conflict(ctx, *line::object("foo !harmless")), nullptr);

    installed({"a placeholder", "a-6.40 off", "a-6.39", "x +a:6.40", "a-6.41 do=uninstall"});
    EXPECT_EQ(collect_candidates(ctx, line::req("a:6.40"), false), (std::vector<package_record*>{at(3), at(4)}));
    EXPECT_EQ(collect_candidates(ctx, line::req("a:6.40"), true), (std::vector<package_record*>{at(1), at(3), at(4)}));
    EXPECT_TRUE(collect_candidates(ctx, line::req("b"), true).empty());

    const std::pair<std::vector<std::string>, int> statuses[] = {
        {{}, 1}, {{"c"}, 0}, {{"c off do=enable"}, 0}, {{"c do=disable"}, 3}, {{"c off"}, 3}, {{"c off do=uninstall"},
            3},
        {{"c off do=disable"}, 3}, {{"c do=uninstall"}, 1}, {{"c do=enable"}, 0}, {{"c do=uninstall", "c do=enable"},
            0},
        {{"c do=uninstall", "c off"}, 3}, {{"c off", "c"}, 0}, {{"c do=disable", "c off do=enable"}, 0},
    };
    for (const auto& [candidates, status] : statuses) {
        installed(candidates);
        std::vector<package_record*> list;
        for (const auto& r : ctx.packages) list.push_back(r.get());
        EXPECT_EQ(candidate_status(list), status) << candidates.size() << " " << (candidates.empty() ? ""
            : candidates[0]);
    }
}

// Which offered packages are kept, in which order: the newer of a name (the older in downgrade mode, never one below
// the minimum), a bundle over its member's name, in flagged state the latest builds only; independent ones reversed, a
// package right after the last it needs and after one conflicting with it.
TEST_F(SelectionTest, FilterCandidates) {
    const std::uint32_t none = no_minimum_version, v600 = make_version(6, 0, 'f', 0), v640 = make_version(6, 40, 'f',
        0);
    const struct {
        bool flagged;
        std::vector<std::string> offered;
        std::uint32_t minimum;
        bool report;
        std::string kept;
        std::string messages;
    } rows[] = {
        {false, {"foo-6.40", "foo-6.41"}, none, true, "foo-6.41",
            "WARNING: omitting package foo-6.40: newer package is already provided\n"},
        {false, {"foo-6.40", "foo-6.41"}, none, false, "foo-6.41", ""},
        {false, {"foo-6.40", "foo-6.41"}, v600, true, "foo-6.40",
            "WARNING: omitting package foo-6.41: older package is already provided\n"},
        {false, {"foo-6.40", "foo-6.41"}, 0, true, "foo-6.40",
            "WARNING: omitting package foo-6.41: older package is already provided\n"},
        {false, {"foo-6.39", "bar-1.0", "baz-6.40"}, v640, false, "baz-6.40",
         "WARNING: ommitting package foo-6.39: not allowed\nWARNING: ommitting package bar-1.0: not allowed\n"},
        {false, {"foo-6.39", "foo-6.45"}, v640, true, "foo-6.45", "WARNING: ommitting package foo-6.39: not allowed\n"},
        {false, {"pack-6.40 {foo-6.40}", "foo-6.40"}, none, true, "pack-6.40", ""},
        {false, {"foo-6.40", "pack-6.40 {foo-6.40}"}, none, true, "pack-6.40", ""},
        {false, {"pack-9.0 {foo-6.40}", "foo-6.41"}, none, true, "foo-6.41",
            "WARNING: omitting package pack-9.0: newer package is already provided\n"},
        {false, {"pack-6.40 {foo-6.40}", "pack-6.40 {foo-6.40}"}, none, true, "", ""},
        {false, {"foo-6.40", "foo-6.40"}, none, true, "", ""},
        {true, {"a @100", "b @200"}, none, true, "b-1.0", "WARNING: ommiting older package a-1.0: router in flagged "
            "state\n"},
        {true, {"a @100", "b @200"}, none, false, "b-1.0", ""},
        {true, {"foo-6.41 @100", "foo-6.40 @200"}, none, true, "",
         "WARNING: ommiting older package foo-6.41: router in flagged state\nWARNING: omitting package foo-6.40: newer "
             "package is already provided\n"},
        {true, {"foo-6.39 @200", "bar-6.50 @100"}, v640, true, "",
         "WARNING: ommitting package foo-6.39: not allowed\nWARNING: ommiting older package bar-6.50: router in "
             "flagged state\n"},
        {false, {"foo-6.41 @100", "foo-6.40 @200"}, none, false, "foo-6.41", ""},
        {false, {"a", "b"}, none, true, "b-1.0 a-1.0", ""},
        {false, {"a", "b", "c"}, none, true, "c-1.0 b-1.0 a-1.0", ""},
        {false, {"b >a", "a"}, none, true, "a-1.0 b-1.0", ""},
        {false, {"a", "c", "b >a >c"}, none, true, "c-1.0 a-1.0 b-1.0", ""},
        {false, {"b !a", "a"}, none, true, "b-1.0 a-1.0", ""},
        {false, {"a", "b !a"}, none, true, "b-1.0 a-1.0", ""},
    };
    for (const auto& r : rows) {
        set_flagged_state_for_testing(r.flagged);
        std::vector<std::unique_ptr<download_record>> owned;
        std::vector<download_record*> list;
        for (const std::string& s : r.offered) list.push_back((owned.push_back(line::object<download_record>(s)),
            owned.back().get()));
        filter_candidates(ctx, list, r.minimum, r.report);
        std::string kept;
        for (const download_record* d : list) kept += (kept.empty() ? "" : " ") + name_version_text(*d);
        EXPECT_EQ(kept, r.kept) << r.offered[0] << " " << r.offered[1];
        EXPECT_EQ(console.take(), r.messages) << r.offered[0] << " " << r.offered[1];
    }
    // The same rules over records and plain descriptions.
    installed({"foo-6.41 >lib", "foo-6.40", "lib"});
    std::vector<package_record*> records{at(0), at(1), at(2)};
    filter_candidates(ctx, records, none, false);
    EXPECT_EQ(records, (std::vector<package_record*>{at(2), at(0)}));
    std::vector<package_description*> plain{at(1), at(0)};
    filter_candidates(ctx, plain, none, false);
    EXPECT_EQ(plain, std::vector<package_description*>{at(0)});
}
