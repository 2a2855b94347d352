#include "resolve/selection.h"

#include <gtest/gtest.h>

#include "support/captured_context.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hardware.h"
#include "resolve/version.h"

namespace {

constexpr std::uint32_t v(unsigned major, unsigned minor, unsigned patch = 0) {
    return make_version(major, minor, 'f', patch);
}
constexpr std::uint32_t rc1_3_20 = make_version(3, 20, 'c', 1);
constexpr std::uint32_t rc2_3_20 = make_version(3, 20, 'c', 2);

requirement req(const std::string& name, std::uint32_t minimum = 0, std::uint32_t maximum = 0,
                std::int32_t precedence = 0) {
    return requirement{name, minimum, maximum, precedence};
}

std::unique_ptr<package_record> record(const std::string& name, std::uint32_t version, std::uint32_t build = 0) {
    auto r = new_package_record(name);
    r->version = version;
    r->build_time = build;
    return r;
}

std::unique_ptr<package_description> member(const std::string& name, std::uint32_t version,
                                             std::uint32_t build = 0) {
    auto m = std::make_unique<package_description>();
    m->name = name;
    m->version = version;
    m->build_time = build;
    return m;
}

std::unique_ptr<package_record> placeholder(const std::string& name) {
    return record(name, placeholder_value, placeholder_value);
}

class SelectionTest : public testing::Test {
protected:
    void SetUp() override {
        ctx.architecture = "ppc";
        platform::set_hardware(&hw);
        set_flagged_state_for_testing(false);
    }
    void TearDown() override {
        platform::set_hardware(nullptr);
        set_flagged_state_for_testing(false);
    }

    package_record& install(std::unique_ptr<package_record> r) {
        ctx.packages.push_back(std::move(r));
        return *ctx.packages.back();
    }

    // Everything printed since the last call.
    std::string output() { return console.take(); }

    captured_context console;
    installer_context& ctx = console.ctx;
    platform::fake_hardware hw;
};

// ---- install_check ----

TEST_F(SelectionTest, InstallCheckAgainstTheInstalledNamesake) {
    struct row {
        std::uint32_t installed, installed_build, offered, offered_build, mask, flags;
        const char* text;
    };
    const row rows[] = {
        {v(6, 40), 100, v(6, 40), 100, 1, 32, "WARNING: omitting package foo-6.40: it is already installed\n"},
        {v(6, 40), 100, v(6, 40), 100, 1 | 32, 32, ""},
        {v(6, 40), 100, v(6, 39), 100, 1, 2,
         "WARNING: omitting package foo-6.39: newer package foo-6.40 is already installed\n"},
        {v(6, 40), 100, v(6, 40), 99, 1, 2,
         "WARNING: omitting package foo-6.40: newer package foo-6.40 is already installed\n"},
        {v(6, 40), 100, v(6, 39), 100, 1 | 2, 2, ""},
        {v(6, 40), 100, v(6, 41), 50, 1, 1, ""},
        {v(6, 40), 100, v(6, 40), 101, 0, 1, ""},
    };
    for (const row& r : rows) {
        ctx.packages.clear();
        install(record("foo", r.installed, r.installed_build));
        auto offered = record("foo", r.offered, r.offered_build);
        EXPECT_EQ(install_check(ctx, *offered, r.mask), r.flags) << r.text;
        EXPECT_EQ(output(), r.text);
    }
    ctx.packages.clear();
    auto alone = record("foo", v(1, 0));
    EXPECT_EQ(install_check(ctx, *alone, 0), 0u);
    EXPECT_EQ(output(), "");
}

TEST_F(SelectionTest, InstallCheckFlaggedState) {
    set_flagged_state_for_testing(true);
    install(record("foo", v(6, 40), 200));

    // Older and built earlier: one message, the flagged one, and 8 + 16 + 2.
    auto older = record("foo", v(6, 39), 100);
    EXPECT_EQ(install_check(ctx, *older, 1), 8u | 16u | 2u);
    EXPECT_EQ(output(), "WARNING: cannot install older foo-6.39: router in flagged state\n");

    // A higher version built earlier is refused as well; the refusal is not
    // one the caller's mask can silence.
    auto newer = record("foo", v(6, 41), 100);
    EXPECT_EQ(install_check(ctx, *newer, 0xFFFFFFFF), 8u | 16u | 1u);
    EXPECT_EQ(output(), "WARNING: cannot install older foo-6.41: router in flagged state\n");

    // Built at the same time or later: the ordinary rules.
    auto same = record("foo", v(6, 40), 200);
    EXPECT_EQ(install_check(ctx, *same, 1), 32u);
    EXPECT_EQ(output(), "WARNING: omitting package foo-6.40: it is already installed\n");
    auto later = record("foo", v(6, 39), 300);
    EXPECT_EQ(install_check(ctx, *later, 1), 2u);
    EXPECT_EQ(output(), "WARNING: omitting package foo-6.39: newer package foo-6.40 is already installed\n");
}

TEST_F(SelectionTest, InstallCheckNeverComparesBranding) {
    set_flagged_state_for_testing(true);
    install(record("branding", v(6, 40), 200));
    for (std::uint32_t version : {v(6, 39), v(6, 40), v(6, 41)}) {
        auto offered = record("branding", version, 100);
        EXPECT_EQ(install_check(ctx, *offered, 0), 0u);
        EXPECT_EQ(output(), "");
    }
    auto same = record("branding", v(6, 40), 200);
    EXPECT_EQ(install_check(ctx, *same, 0), 0u);
    EXPECT_EQ(output(), "");
}

TEST_F(SelectionTest, InstallCheckBaseSystemTest) {
    struct row {
        const char* name;
        std::uint32_t version;
        bool large_blocks;
        std::uint32_t minimum;
        std::uint32_t mask;
        std::uint32_t flags;
        const char* text;
    };
    const row rows[] = {
        {"system", rc1_3_20, true, 0, 1, 8,
         "WARNING: omitting package system-3.20rc1: it does not support current file system\n"},
        {"system", rc2_3_20, true, 0, 1, 0, ""},
        {"system", rc1_3_20, false, 0, 1, 0, ""},
        {"system", rc1_3_20, true, 0, 1 | 8, 8, ""},
        {"velnor", rc1_3_20, true, 0, 1, 8,
         "WARNING: omitting package velnor-3.20rc1: it does not support current file system\n"},
        {"velnor-ppc", v(3, 10), true, 0, 1, 8,
         "WARNING: omitting package velnor-ppc-3.10: it does not support current file system\n"},
        {"xvelnor", rc1_3_20, true, 0, 1, 0, ""},
        {"systems", rc1_3_20, true, 0, 1, 0, ""},
        {"Velnor-ppc", rc1_3_20, true, 0, 1, 0, ""},
        {"system", v(6, 39), false, v(6, 40), 1, 8, "ERROR: omitting package system-6.39: min Velnor version is 6.40\n"},
        {"system", v(6, 40), false, v(6, 40), 1, 0, ""},
        {"velnor-x", v(6, 39), false, v(6, 40), 1 | 8, 8, ""},
        // The minimum is asked first; the erase-block rule adds no second message.
        {"system", rc1_3_20, true, v(6, 40), 1, 8, "ERROR: omitting package system-3.20rc1: min Velnor version is 6.40\n"},
        {"foo", rc1_3_20, true, v(6, 40), 1, 0, ""},
    };
    for (const row& r : rows) {
        hw.has_mtd = true;
        hw.erase_size = r.large_blocks ? 0x40000 : 0x20000;
        hw.min_version = r.minimum;
        auto offered = record(r.name, r.version);
        EXPECT_EQ(install_check(ctx, *offered, r.mask), r.flags) << r.name << " " << r.text;
        EXPECT_EQ(output(), r.text) << r.name;
    }

    // A missing flash device passes both tests.
    hw.has_mtd = false;
    hw.erase_size = 0x40000;
    hw.min_version = 0;
    auto old = record("system", v(1, 0));
    EXPECT_TRUE(compatibility_check(ctx, *old, true));
    EXPECT_EQ(output(), "");

    // Without report the answer is the same and nothing is said.
    hw.min_version = v(6, 40);
    EXPECT_FALSE(compatibility_check(ctx, *old, false));
    EXPECT_EQ(output(), "");

    // After the version message the base system test still flags, silently.
    hw.min_version = 0;
    hw.has_mtd = true;
    install(record("system", rc1_3_20));
    auto again = record("system", rc1_3_20);
    EXPECT_EQ(install_check(ctx, *again, 1), 32u | 8u);
    EXPECT_EQ(output(), "WARNING: omitting package system-3.20rc1: it is already installed\n");
}

TEST_F(SelectionTest, InstallCheckArchitecture) {
    struct row {
        const char* architecture;
        std::uint32_t mask;
        std::uint32_t flags;
        const char* text;
    };
    const row rows[] = {
        {"", 1, 0, ""},
        {"ppc", 1, 0, ""},
        {"i386", 1, 8, "ERROR: can not install foo-1.0: it is not made for ppc, but for i386\n"},
        {"PPC", 1, 8, "ERROR: can not install foo-1.0: it is not made for ppc, but for PPC\n"},
        {"i386", 1 | 8, 8, ""},
    };
    for (const row& r : rows) {
        auto offered = record("foo", v(1, 0));
        offered->architecture = r.architecture;
        EXPECT_EQ(install_check(ctx, *offered, r.mask), r.flags) << r.architecture;
        EXPECT_EQ(output(), r.text);
    }
}

TEST_F(SelectionTest, InstallCheckDependencies) {
    auto offered = record("foo", v(1, 0));
    offered->dependencies = {req("a", v(6, 40)), req("b")};

    // Two unmet: one message naming the first, flag 8.
    EXPECT_EQ(install_check(ctx, *offered, 1), 8u);
    EXPECT_EQ(output(), "ERROR: can not install foo-1.0: a-6.40 is not installed, but is required\n");

    // Neither a placeholder, nor a disabled record, nor a too old one satisfies.
    install(placeholder("a"));
    install(record("a", v(6, 40))).disabled = true;
    install(record("a", v(6, 39)));
    EXPECT_EQ(install_check(ctx, *offered, 1), 8u);
    EXPECT_EQ(output(), "ERROR: can not install foo-1.0: a-6.40 is not installed, but is required\n");

    // A provider of a satisfies it; b is the one missing now.
    install(record("provider", v(2, 0))).provisions = {req("a", v(7, 0))};
    EXPECT_EQ(install_check(ctx, *offered, 1), 8u);
    EXPECT_EQ(output(), "ERROR: can not install foo-1.0: b is not installed, but is required\n");

    EXPECT_EQ(install_check(ctx, *offered, 1 | 8), 8u);
    EXPECT_EQ(output(), "");

    install(record("b", v(0, 1)));
    EXPECT_EQ(install_check(ctx, *offered, 1), 0u);
    EXPECT_EQ(output(), "");
}

TEST_F(SelectionTest, InstallCheckConflicts) {
    auto offered = record("foo", v(1, 0));
    package_record& off = install(record("off", v(1, 0)));
    off.conflicts = {req("foo")};
    off.disabled = true;
    install(placeholder("ghost")).conflicts = {req("foo")};
    EXPECT_EQ(install_check(ctx, *offered, 1), 0u);
    EXPECT_EQ(output(), "");

    install(record("enemy", v(2, 0))).conflicts = {req("foo")};
    install(record("rival", v(3, 0))).conflicts = {req("foo")};
    EXPECT_EQ(install_check(ctx, *offered, 1), 16u);
    EXPECT_EQ(output(), "ERROR: can not install foo-1.0: it conflicts with enemy-2.0\n");
    EXPECT_EQ(install_check(ctx, *offered, 1 | 16), 16u);
    EXPECT_EQ(output(), "");
}

// Every reason at once: the mask decides which single message is seen, in
// the order flagged state, version, base system, architecture, dependency,
// conflict.
TEST_F(SelectionTest, InstallCheckFirstReasonGetsTheMessage) {
    struct row {
        bool flagged;
        bool base_fails, arch_fails, dep_fails;
        std::uint32_t mask;
        std::uint32_t flags;
        const char* text;
    };
    const row rows[] = {
        {true, true, true, true, 1, 8 | 16 | 2,
         "WARNING: cannot install older velnor-x-6.39: router in flagged state\n"},
        {false, true, true, true, 1, 2 | 8 | 16,
         "WARNING: omitting package velnor-x-6.39: newer package velnor-x-6.40 is already installed\n"},
        {false, true, true, true, 1 | 2, 2 | 8 | 16,
         "ERROR: omitting package velnor-x-6.39: min Velnor version is 7.0\n"},
        {false, false, true, true, 1 | 2, 2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: it is not made for ppc, but for i386\n"},
        {false, false, false, true, 1 | 2, 2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: missing is not installed, but is required\n"},
        {false, false, false, false, 1 | 2, 2 | 16,
         "ERROR: can not install velnor-x-6.39: it conflicts with enemy-1.0\n"},
        // A silenced reason leaves the next one its message.
        {false, true, true, true, 1 | 2 | 8, 2 | 8 | 16,
         "ERROR: can not install velnor-x-6.39: it conflicts with enemy-1.0\n"},
        {false, true, true, true, 1 | 2 | 8 | 16, 2 | 8 | 16, ""},
    };
    install(record("velnor-x", v(6, 40), 200));
    install(record("enemy", v(1, 0))).conflicts = {req("velnor-x")};
    for (const row& r : rows) {
        set_flagged_state_for_testing(r.flagged);
        hw.min_version = r.base_fails ? v(7, 0) : 0;
        auto offered = record("velnor-x", v(6, 39), 100);
        offered->architecture = r.arch_fails ? "i386" : "ppc";
        if (r.dep_fails) offered->dependencies = {req("missing"), req("absent")};
        EXPECT_EQ(install_check(ctx, *offered, r.mask), r.flags) << r.text;
        EXPECT_EQ(output(), r.text);
    }
}

// ---- relations ----

TEST(ConflictsWithTest, Rules) {
    struct row {
        const char* what;
        std::function<void(package_description& a, package_description& b)> setup;
        bool a_b, b_a;
    };
    const row rows[] = {
        {"unrelated", [](auto&, auto&) {}, false, false},
        {"conflict by name", [](auto& a, auto&) { a.conflicts = {req("b")}; }, true, false},
        {"conflict outside the range", [](auto& a, auto&) { a.conflicts = {req("b", v(2, 0))}; }, false, false},
        {"b provides a's name, -1", [](auto&, auto& b) { b.provisions = {req("a", 0, 0, -1)}; }, true, false},
        {"b provides a's name, 0", [](auto&, auto& b) { b.provisions = {req("a", 0, 0, 0)}; }, false, true},
        {"same name provided, 5 over 3",
         [](auto& a, auto& b) {
             a.provisions = {req("shared", 0, 0, 5)};
             b.provisions = {req("shared", 0, 0, 3)};
         },
         true, false},
        {"same name provided, equal",
         [](auto& a, auto& b) {
             a.provisions = {req("shared", 0, 0, 2)};
             b.provisions = {req("shared", 0, 0, 2)};
         },
         false, false},
        {"negative precedences compare signed",
         [](auto& a, auto& b) {
             a.provisions = {req("shared", 0, 0, -1)};
             b.provisions = {req("shared", 0, 0, -5)};
         },
         true, false},
        // The conflict list by name comes before any provision.
        {"the conflict list by name before b's provisions",
         [](auto& a, auto& b) {
             a.conflicts = {req("b")};
             b.provisions = {req("a", 0, 0, 0)};
         },
         true, true},
        // b's provisions are looked at before a's.
        {"b's provision of a's name before a's of b's",
         [](auto& a, auto& b) {
             a.provisions = {req("b", 0, 0, 0)};
             b.provisions = {req("a", 0, 0, 0)};
         },
         false, false},
        {"naming the other comes before sharing, per entry",
         [](auto& a, auto& b) {
             a.provisions = {req("b", 0, 0, 0)};
             b.provisions = {req("b", 0, 0, 5)};
         },
         true, false},
        {"a's provisions in order",
         [](auto& a, auto& b) {
             a.provisions = {req("shared", 0, 0, 0), req("b", 0, 0, 0)};
             b.provisions = {req("shared", 0, 0, 0)};
         },
         false, false},
        // A provision that names the other package, or a name both provide,
        // settles the answer, even when it is no.
        {"b giving way hides a provided conflict",
         [](auto& a, auto& b) {
             a.conflicts = {req("x")};
             b.provisions = {req("a", 0, 0, 0), req("x")};
         },
         false, true},
        {"b giving way hides b's member of a's name",
         [](auto&, auto& b) {
             b.provisions = {req("a", 0, 0, 0)};
             b.sub_packages.push_back(member("a", v(1, 0)));
         },
         false, true},
        {"a giving way hides a provided conflict",
         [](auto& a, auto& b) {
             a.conflicts = {req("x")};
             a.provisions = {req("b", 0, 0, -1)};
             b.provisions = {req("x")};
         },
         false, true},
        {"an equal shared name hides a member's conflict",
         [](auto& a, auto& b) {
             a.provisions = {req("shared", 0, 0, 1)};
             b.provisions = {req("shared", 0, 0, 1)};
             auto m = member("m", v(1, 0));
             m->conflicts = {req("b")};
             a.sub_packages.push_back(std::move(m));
         },
         false, false},
        {"conflict provided by b", [](auto& a, auto& b) {
             a.conflicts = {req("x", v(2, 0))};
             b.provisions = {req("x", v(1, 0), v(3, 0))};
         },
         true, false},
        {"conflict provided outside the range",
         [](auto& a, auto& b) {
             a.conflicts = {req("x", v(2, 0))};
             b.provisions = {req("x", 0, v(1, 0))};
         },
         false, false},
        {"b holds a member of a's name",
         [](auto&, auto& b) { b.sub_packages.push_back(member("a", v(9, 0))); }, true, false},
        {"a member of a conflicts with b",
         [](auto& a, auto&) {
             auto m = member("m", v(1, 0));
             m->conflicts = {req("b")};
             a.sub_packages.push_back(std::move(m));
         },
         true, false},
        {"a member's provision names b",
         [](auto& a, auto&) {
             auto m = member("m", v(1, 0));
             m->provisions = {req("b")};
             a.sub_packages.push_back(std::move(m));
         },
         true, false},
        {"placeholder b",
         [](auto& a, auto& b) {
             a.conflicts = {req("b")};
             b.version = b.build_time = placeholder_value;
             b.conflicts = {req("a")};
         },
         false, false},
    };
    for (const row& r : rows) {
        auto a = member("a", v(1, 0));
        auto b = member("b", v(1, 0));
        r.setup(*a, *b);
        EXPECT_EQ(conflicts_with(*a, *b), r.a_b) << r.what;
        EXPECT_EQ(conflicts_with(*b, *a), r.b_a) << r.what;
    }
}

TEST(DependsOnTest, Rules) {
    struct row {
        const char* what;
        std::function<void(package_description& a, package_description& b)> setup;
        bool a_b, b_a;
    };
    const row rows[] = {
        {"unrelated", [](auto&, auto&) {}, false, false},
        {"by name", [](auto& a, auto&) { a.dependencies = {req("b")}; }, true, false},
        {"by name and range", [](auto& a, auto&) { a.dependencies = {req("b", v(1, 0), v(1, 0))}; }, true, false},
        {"b too old", [](auto& a, auto&) { a.dependencies = {req("b", v(1, 1))}; }, false, false},
        {"b provides it",
         [](auto& a, auto& b) {
             a.dependencies = {req("x", v(2, 0))};
             b.provisions = {req("x")};
         },
         true, false},
        {"b provides too little",
         [](auto& a, auto& b) {
             a.dependencies = {req("x", v(2, 0))};
             b.provisions = {req("x", 0, v(1, 0))};
         },
         false, false},
        {"a member of b satisfies it",
         [](auto& a, auto& b) {
             a.dependencies = {req("m")};
             b.sub_packages.push_back(member("m", v(1, 0)));
         },
         true, false},
        {"a member of a needs b",
         [](auto& a, auto&) {
             auto m = member("m", v(1, 0));
             m->dependencies = {req("b")};
             a.sub_packages.push_back(std::move(m));
         },
         true, false},
        {"a member of a needs a member of b",
         [](auto& a, auto& b) {
             auto m = member("m", v(1, 0));
             m->dependencies = {req("n")};
             a.sub_packages.push_back(std::move(m));
             b.sub_packages.push_back(member("n", v(1, 0)));
         },
         true, false},
    };
    for (const row& r : rows) {
        auto a = member("a", v(1, 0));
        auto b = member("b", v(1, 0));
        r.setup(*a, *b);
        EXPECT_EQ(depends_on(*a, *b), r.a_b) << r.what;
        EXPECT_EQ(depends_on(*b, *a), r.b_a) << r.what;
    }
}

// ---- lookups over the package list ----

TEST_F(SelectionTest, FindProvider) {
    EXPECT_EQ(find_provider(ctx, "foo"), nullptr);

    package_record& first_off = install(record("foo", v(1, 0)));
    first_off.disabled = true;
    install(record("foox", v(1, 0)));
    package_record& second_off = install(record("other", v(1, 0)));
    second_off.provisions = {req("bar"), req("foo")};
    second_off.disabled = true;
    EXPECT_EQ(find_provider(ctx, "foo"), &second_off);  // the last disabled one

    package_record& on = install(record("p", v(1, 0)));
    on.provisions = {req("foo")};
    install(record("foo", v(2, 0)));
    EXPECT_EQ(find_provider(ctx, "foo"), &on);  // the first enabled one
    EXPECT_EQ(find_provider(ctx, "bar"), &second_off);
    EXPECT_EQ(find_provider(ctx, "foox"), ctx.packages[1].get());
}

TEST_F(SelectionTest, FindEnabledConflict) {
    auto offered = record("foo", v(1, 0));
    EXPECT_EQ(find_enabled_conflict(ctx, *offered), nullptr);
    install(placeholder("ghost")).conflicts = {req("foo")};
    package_record& off = install(record("off", v(1, 0)));
    off.conflicts = {req("foo")};
    off.disabled = true;
    install(record("harmless", v(1, 0)));
    EXPECT_EQ(find_enabled_conflict(ctx, *offered), nullptr);

    // Asked as "record conflicts with the offered package", not the reverse.
    offered->conflicts = {req("harmless")};
    EXPECT_EQ(find_enabled_conflict(ctx, *offered), nullptr);

    package_record& first = install(record("first", v(1, 0)));
    first.provisions = {req("foo", 0, 0, 1)};
    install(record("second", v(1, 0))).conflicts = {req("foo")};
    EXPECT_EQ(find_enabled_conflict(ctx, *offered), &first);
}

TEST_F(SelectionTest, CollectCandidates) {
    install(placeholder("a"));
    package_record& off = install(record("a", v(6, 40)));
    off.disabled = true;
    install(record("a", v(6, 39)));
    package_record& provider = install(record("x", v(1, 0)));
    provider.provisions = {req("a", v(6, 40))};
    package_record& leaving = install(record("a", v(6, 41)));
    leaving.scheduled_action = action_uninstall;

    const requirement wanted = req("a", v(6, 40));
    EXPECT_EQ(collect_candidates(ctx, wanted, false), (std::vector<package_record*>{&provider, &leaving}));
    EXPECT_EQ(collect_candidates(ctx, wanted, true), (std::vector<package_record*>{&off, &provider, &leaving}));
    EXPECT_TRUE(collect_candidates(ctx, req("b"), true).empty());
}

TEST(CandidateStatusTest, Table) {
    struct state {
        bool disabled;
        std::uint32_t action;
    };
    struct row {
        std::vector<state> candidates;
        int expected;
    };
    const row rows[] = {
        {{}, 1},
        {{{false, action_none}}, 0},
        {{{true, action_enable}}, 0},
        {{{false, action_disable}}, 3},
        {{{true, action_none}}, 3},
        {{{true, action_uninstall}}, 3},
        {{{true, action_disable}}, 3},
        {{{false, action_uninstall}}, 1},
        {{{false, action_enable}}, 0},
        {{{false, action_uninstall}, {false, action_enable}}, 0},
        {{{false, action_uninstall}, {true, action_none}}, 3},
        {{{true, action_none}, {false, action_none}}, 0},
        {{{false, action_disable}, {true, action_enable}}, 0},
    };
    for (const row& r : rows) {
        std::vector<std::unique_ptr<package_record>> owned;
        std::vector<package_record*> list;
        for (const state& s : r.candidates) {
            owned.push_back(record("c", v(1, 0)));
            owned.back()->disabled = s.disabled;
            owned.back()->scheduled_action = s.action;
            list.push_back(owned.back().get());
        }
        EXPECT_EQ(candidate_status(list), r.expected) << r.candidates.size() << " candidates";
    }
}

// ---- filter_candidates ----

std::vector<std::string> names(const std::vector<download_record*>& list) {
    std::vector<std::string> result;
    for (const download_record* d : list) result.push_back(name_version_text(*d));
    return result;
}

class FilterTest : public SelectionTest {
protected:
    download_record* offer(const std::string& name, std::uint32_t version, std::uint32_t build = 0) {
        auto d = new_download_record();
        d->name = name;
        d->version = version;
        d->build_time = build;
        d->path = "/rw/pckg/.download/" + name + ".qpk";
        owned_.push_back(std::move(d));
        return owned_.back().get();
    }
    download_record* bundle(const std::string& name, std::uint32_t version, const std::string& member_name,
                            std::uint32_t member_version) {
        download_record* d = offer(name, version);
        d->bundle = true;
        d->sub_packages.push_back(member(member_name, member_version));
        return d;
    }

private:
    std::vector<std::unique_ptr<download_record>> owned_;
};

TEST_F(FilterTest, NewerWinsOlderInDowngradeMode) {
    struct row {
        std::uint32_t minimum;
        bool report;
        std::vector<std::string> kept;
        const char* text;
    };
    const row rows[] = {
        {no_minimum_version, true, {"foo-6.41"}, "WARNING: omitting package foo-6.40: newer package is already provided\n"},
        {no_minimum_version, false, {"foo-6.41"}, ""},
        {v(6, 0), true, {"foo-6.40"}, "WARNING: omitting package foo-6.41: older package is already provided\n"},
        {0, true, {"foo-6.40"}, "WARNING: omitting package foo-6.41: older package is already provided\n"},
        {v(6, 0), false, {"foo-6.40"}, ""},
    };
    for (const row& r : rows) {
        std::vector<download_record*> list{offer("foo", v(6, 40)), offer("foo", v(6, 41))};
        filter_candidates(ctx, list, r.minimum, r.report);
        EXPECT_EQ(names(list), r.kept);
        EXPECT_EQ(output(), r.text);
    }
}

TEST_F(FilterTest, DowngradeRefusesBelowTheMinimumEvenUnreported) {
    std::vector<download_record*> list{offer("foo", v(6, 39)), offer("bar", v(1, 0)), offer("baz", v(6, 40))};
    filter_candidates(ctx, list, v(6, 40), false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"baz-6.40"}));
    EXPECT_EQ(output(), "WARNING: ommitting package foo-6.39: not allowed\nWARNING: ommitting package bar-1.0: not allowed\n");

    // A refused package takes no part in the comparisons: the allowed one of
    // its name stays, although the refused one is older.
    download_record* allowed = offer("foo", v(6, 45));
    list = {offer("foo", v(6, 39)), allowed};
    filter_candidates(ctx, list, v(6, 40), true);
    EXPECT_EQ(list, std::vector<download_record*>{allowed});
    EXPECT_EQ(output(), "WARNING: ommitting package foo-6.39: not allowed\n");
}

TEST_F(FilterTest, TiesAndBundles) {
    // A bundle beats the package of its member's name at an equal version,
    // whichever comes first; no message either way.
    for (bool bundle_first : {true, false}) {
        download_record* b = bundle("pack", v(6, 40), "foo", v(6, 40));
        download_record* p = offer("foo", v(6, 40));
        std::vector<download_record*> list = bundle_first ? std::vector{b, p} : std::vector{p, b};
        filter_candidates(ctx, list, no_minimum_version, true);
        EXPECT_EQ(list, std::vector<download_record*>{b});
        EXPECT_EQ(output(), "");
    }
    // The member's version decides otherwise.
    download_record* newer_single = offer("foo", v(6, 41));
    std::vector<download_record*> list{bundle("pack", v(9, 0), "foo", v(6, 40)), newer_single};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, std::vector<download_record*>{newer_single});
    EXPECT_EQ(output(), "WARNING: omitting package pack-9.0: newer package is already provided\n");

    // Two equal bundles, or two equal packages, drop each other silently.
    list = {bundle("pack", v(6, 40), "foo", v(6, 40)), bundle("pack", v(6, 40), "foo", v(6, 40))};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_TRUE(list.empty());
    list = {offer("foo", v(6, 40)), offer("foo", v(6, 40))};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(output(), "");
}

TEST_F(FilterTest, FlaggedStateKeepsOnlyTheLatestBuilds) {
    set_flagged_state_for_testing(true);
    download_record* later = offer("b", v(1, 0), 200);
    std::vector<download_record*> list{offer("a", v(1, 0), 100), later};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, std::vector<download_record*>{later});
    EXPECT_EQ(output(), "WARNING: ommiting older package a-1.0: router in flagged state\n");

    list = {offer("a", v(1, 0), 100), later};
    filter_candidates(ctx, list, no_minimum_version, false);
    EXPECT_EQ(list, std::vector<download_record*>{later});
    EXPECT_EQ(output(), "");

    // The build time is asked before the version: the higher version built
    // earlier goes, and takes the later build of its name with it.
    list = {offer("foo", v(6, 41), 100), offer("foo", v(6, 40), 200)};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(output(),
              "WARNING: ommiting older package foo-6.41: router in flagged state\n"
              "WARNING: omitting package foo-6.40: newer package is already provided\n");

    // A package refused below the downgrade minimum still counts as the
    // latest build: flagged state asks no question about relations.
    download_record* refused = offer("foo", v(6, 39), 200);
    list = {refused, offer("bar", v(6, 50), 100)};
    filter_candidates(ctx, list, v(6, 40), true);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(output(),
              "WARNING: ommitting package foo-6.39: not allowed\n"
              "WARNING: ommiting older package bar-6.50: router in flagged state\n");

    set_flagged_state_for_testing(false);
    list = {offer("foo", v(6, 41), 100), offer("foo", v(6, 40), 200)};
    filter_candidates(ctx, list, no_minimum_version, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"foo-6.41"}));
}

TEST_F(FilterTest, DependencyOrder) {
    download_record* a = offer("a", v(1, 0));
    download_record* b = offer("b", v(1, 0));
    download_record* c = offer("c", v(1, 0));

    // Independent packages come out reversed.
    std::vector<download_record*> list{a, b};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{b, a}));
    list = {a, b, c};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{c, b, a}));

    // A package goes after what it needs.
    b->dependencies = {req("a")};
    list = {b, a};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{a, b}));

    // ... right after the last of them, found from the end.
    b->dependencies = {req("a"), req("c")};
    list = {a, c, b};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{c, a, b}));
    b->dependencies.clear();

    // A package goes after one that conflicts with it, not after one it
    // conflicts with.
    b->conflicts = {req("a")};
    list = {b, a};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{b, a}));
    list = {a, b};
    filter_candidates(ctx, list, no_minimum_version, true);
    EXPECT_EQ(list, (std::vector<download_record*>{b, a}));
    EXPECT_EQ(output(), "");
}

TEST_F(SelectionTest, FilterCandidatesOnPackageRecords) {
    auto old_one = record("foo", v(6, 40));
    auto new_one = record("foo", v(6, 41));
    auto lib = record("lib", v(1, 0));
    new_one->dependencies = {req("lib")};
    std::vector<package_record*> list{new_one.get(), old_one.get(), lib.get()};
    filter_candidates(ctx, list, no_minimum_version, false);
    EXPECT_EQ(list, (std::vector<package_record*>{lib.get(), new_one.get()}));

    std::vector<package_description*> plain{old_one.get(), new_one.get()};
    filter_candidates(ctx, plain, no_minimum_version, false);
    EXPECT_EQ(plain, std::vector<package_description*>{new_one.get()});
    EXPECT_EQ(output(), "");
}

}  // namespace
