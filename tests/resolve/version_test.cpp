#include "resolve/version.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::unique_ptr<package_description> package(const std::string& name, std::uint32_t version,
                                             std::uint32_t build_time = 0) {
    auto p = std::make_unique<package_description>();
    p->name = name;
    p->version = version;
    p->build_time = build_time;
    return p;
}

std::unique_ptr<package_description> bundle_of(const std::string& name, std::uint32_t version,
                                               std::vector<std::unique_ptr<package_description>> members) {
    auto b = package(name, version);
    b->bundle = true;
    b->sub_packages = std::move(members);
    return b;
}

template <typename... T>
std::vector<std::unique_ptr<package_description>> members(T... parts) {
    std::vector<std::unique_ptr<package_description>> list;
    (list.push_back(std::move(parts)), ...);
    return list;
}

constexpr std::uint32_t v640 = make_version(6, 40, 'f', 0);

}  // namespace

TEST(VersionTest, FormatsEveryKindAndOddKindBytes) {
    struct {
        std::uint32_t version;
        const char* text;
    } cases[] = {
        {make_version(6, 40, 'f', 0), "6.40"},
        {make_version(6, 40, 'f', 1), "6.40.1"},
        {make_version(6, 40, 'b', 3), "6.40beta3"},
        {make_version(6, 40, 'c', 1), "6.40rc1"},
        {make_version(6, 40, 'c', 0), "6.40rc"},
        {make_version(6, 40, 'a', 0), "6.40alpha"},
        {make_version(6, 40, 'a', 2), "6.40alpha2"},
        {make_version(3, 20, 'c', 2), "3.20rc2"},
        {0x031665FF, "3.22255"},
        {make_version(1, 2, 0, 0), "1.2"},
        {make_version(1, 2, 'F', 7), "1.27"},
        {make_version(255, 255, 'f', 255), "255.255.255"},
        {0, "0.0"},
        {0xFFFFFFFF, "255.255255"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_version(c.version), c.text) << std::hex << c.version;

    // Each call hands back its own text; an earlier one is not overwritten.
    std::string first = format_version(make_version(1, 0, 'f', 0));
    std::string second = format_version(make_version(2, 0, 'f', 0));
    EXPECT_EQ(first, "1.0");
    EXPECT_EQ(second, "2.0");
}

TEST(VersionTest, OrdersAsUnsignedIntegers) {
    const std::uint32_t ascending[] = {
        make_version(6, 40, 'a', 2), make_version(6, 40, 'b', 1), make_version(6, 40, 'c', 3),
        make_version(6, 40, 'f', 0), make_version(6, 40, 'f', 1), make_version(6, 41, 'a', 1),
        make_version(128, 0, 'f', 0),  // top bit set: still newer, not negative
    };
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
        auto older = package("system", ascending[i]);
        auto newer = package("system", ascending[i + 1]);
        EXPECT_EQ(compare_packages(*older, *newer), -1) << format_version(ascending[i]);
        EXPECT_EQ(compare_packages(*newer, *older), 1) << format_version(ascending[i]);
    }
}

TEST(VersionTest, NameVersionAndRequirementTexts) {
    EXPECT_EQ(name_version_text(*package("system", make_version(6, 40, 'f', 1))), "system-6.40.1");
    EXPECT_EQ(requirement_text({"X", 0, v640, 0}), "X");
    EXPECT_EQ(requirement_text({"X", v640, 0, 0}), "X-6.40");
    EXPECT_EQ(requirement_text({"system", make_version(6, 40, 'b', 3), 0, 0}), "system-6.40beta3");
}

TEST(VersionTest, CompareByVersionThenBuildTime) {
    auto older_build = package("p", v640, 100);
    auto newer_build = package("p", v640, 200);
    EXPECT_EQ(compare_packages(*older_build, *newer_build), -1);
    EXPECT_EQ(compare_packages(*newer_build, *older_build), 1);
    EXPECT_EQ(compare_packages(*older_build, *package("p", v640, 100)), 0);
    // The version decides before the build time does.
    EXPECT_EQ(compare_packages(*package("p", v640 + 1, 0), *package("p", v640, 0xFFFFFFFF)), 1);
    // Build times compare unsigned as well.
    EXPECT_EQ(compare_packages(*package("p", v640, 0x80000000), *package("p", v640, 1)), 1);

    EXPECT_EQ(directional_compare(*older_build, *newer_build, false), -1);
    EXPECT_EQ(directional_compare(*older_build, *newer_build, true), 1);
    EXPECT_EQ(directional_compare(*older_build, *older_build, true), 0);
}

TEST(VersionTest, CompareReachesIntoDirectSubPackagesOnly) {
    auto bundle = bundle_of("velnor", make_version(7, 0, 'f', 0),
                            members(package("wireless", make_version(1, 0, 'f', 0)), package("system", v640)));
    auto older_system = package("system", make_version(6, 39, 'f', 0));
    auto newer_system = package("system", make_version(6, 41, 'f', 0));
    EXPECT_EQ(compare_packages(*bundle, *older_system), 1);
    EXPECT_EQ(compare_packages(*older_system, *bundle), -1);
    EXPECT_EQ(compare_packages(*bundle, *newer_system), -1);
    EXPECT_EQ(compare_packages(*newer_system, *bundle), 1);
    // The member's build time is the second key, not the bundle's.
    auto same_version = package("system", v640, 5);
    bundle->sub_packages[1]->build_time = 9;
    EXPECT_EQ(compare_packages(*bundle, *same_version), 1);
    EXPECT_EQ(compare_packages(*same_version, *bundle), -1);

    // Unrelated packages compare equal whatever their versions.
    auto x = package("X", make_version(9, 0, 'f', 0));
    auto y = package("Y", make_version(1, 0, 'f', 0));
    EXPECT_EQ(compare_packages(*x, *y), 0);
    EXPECT_EQ(compare_packages(*y, *x), 0);

    // A member of a member is not looked at.
    auto inner = bundle_of("inner", 1, members(package("deep", 5)));
    auto outer = bundle_of("outer", 1, members(std::move(inner)));
    auto deep = package("deep", 1);
    EXPECT_EQ(compare_packages(*outer, *deep), 0);
    EXPECT_EQ(compare_packages(*deep, *outer), 0);

    // With two members of the name, the first one in list order counts.
    auto twice = bundle_of("b", 1, members(package("m", 3), package("m", 9)));
    EXPECT_EQ(compare_packages(*twice, *package("m", 5)), -1);

    // Equal names go straight to the versions, members or not.
    auto bundle_b = bundle_of("b", 2, members(package("b", 1)));
    EXPECT_EQ(compare_packages(*bundle_b, *package("b", 1)), 1);
}

TEST(VersionTest, NamedOrContains) {
    auto bundle = bundle_of("velnor", 1, members(package("system", 1)));
    EXPECT_TRUE(named_or_contains(*bundle, "velnor"));
    EXPECT_TRUE(named_or_contains(*bundle, "system"));
    EXPECT_FALSE(named_or_contains(*bundle, "System"));
    EXPECT_FALSE(named_or_contains(*bundle, "sys"));
    EXPECT_FALSE(named_or_contains(*package("system", 1), "velnor"));
}

TEST(VersionTest, MatchesWithOpenAndClosedBounds) {
    const std::uint32_t rc1 = make_version(6, 40, 'c', 1);
    const std::uint32_t v71 = make_version(7, 1, 'f', 0);
    const std::uint32_t v639 = make_version(6, 39, 'f', 0);
    struct {
        requirement req;
        std::uint32_t version;
        bool expected;
    } cases[] = {
        {{"system", 0, 0, 0}, 1, true},
        {{"system", 0, 0, 0}, 0xFFFFFFFF, true},
        {{"system", v640, 0, 0}, rc1, false},
        {{"system", v640, 0, 0}, v640, true},
        {{"system", v640, 0, 0}, v71, true},
        {{"system", 0, v640, 0}, rc1, true},
        {{"system", 0, v640, 0}, v640, true},
        {{"system", 0, v640, 0}, v71, false},
        {{"system", v639, v640, 0}, v639, true},
        {{"system", v639, v640, 0}, make_version(6, 40, 'f', 1), false},
        {{"other", 0, 0, 0}, v640, false},
        {{"syste", 0, 0, 0}, v640, false},
    };
    for (const auto& c : cases) {
        auto p = package("system", c.version);
        EXPECT_EQ(matches(*p, c.req), c.expected)
            << c.req.name << " " << format_version(c.req.minimum) << ".." << format_version(c.req.maximum) << " by "
            << format_version(c.version);
    }
}

TEST(VersionTest, OverlapsAndProvides) {
    const std::uint32_t v639 = make_version(6, 39, 'f', 0);
    const std::uint32_t v650 = make_version(6, 50, 'f', 0);
    struct {
        requirement provision;
        requirement req;
        bool expected;
    } cases[] = {
        {{"X", 0, 0, 0}, {"X", v650, v650, 0}, true},
        {{"X", 0, 0, 0}, {"X", 0, 0, 0}, true},
        {{"X", v640, 0, 0}, {"X", 0, v639, 0}, false},
        {{"X", v640, 0, 0}, {"X", 0, 0, 0}, true},
        {{"X", v640, 0, 0}, {"X", 0, v640, 0}, true},  // touching bounds overlap
        {{"X", 0, v639, 0}, {"X", v640, 0, 0}, false},
        {{"X", 0, v640, 0}, {"X", v640, 0, 0}, true},
        {{"X", v639, v640, 0}, {"X", v640, v650, 0}, true},
        {{"X", v639, v639, 0}, {"X", v640, v650, 0}, false},
        {{"X", 0, 0, 5}, {"Y", 0, 0, 0}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(overlaps(c.provision, c.req), c.expected)
            << format_version(c.provision.minimum) << ".." << format_version(c.provision.maximum) << " vs "
            << format_version(c.req.minimum) << ".." << format_version(c.req.maximum);

    auto p = package("p", 1);
    EXPECT_FALSE(provides(*p, {"X", 0, 0, 0}));
    p->provisions = {{"Y", 0, 0, 1}, {"X", 0, v639, -3}, {"X", v650, 0, 7}};
    EXPECT_TRUE(provides(*p, {"X", v640, 0, 0}));   // the later entry overlaps
    EXPECT_TRUE(provides(*p, {"X", 0, v639, 0}));
    EXPECT_FALSE(provides(*p, {"X", v640, v640, 0}));
    EXPECT_FALSE(provides(*p, {"p", 0, 0, 0}));  // a package's own name is not a provision
}
