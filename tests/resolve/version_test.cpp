#include "resolve/version.h"

#include <gtest/gtest.h>

#include "support/package_line.h"

using line::object;
using line::req;

// Every kind of version text, the name-version and requirement texts.
TEST(VersionTest, Texts) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {make_version(6, 40, 'f', 0), "6.40"},       {make_version(6, 40, 'f', 1), "6.40.1"},
        {make_version(6, 40, 'b', 3), "6.40beta3"},  {make_version(6, 40, 'c', 0), "6.40rc"},
        {make_version(6, 40, 'a', 2), "6.40alpha2"}, {0x031665FF, "3.22255"},
        {make_version(1, 2, 'F', 7), "1.27"},        {0xFFFFFFFF, "255.255255"},
    };
    for (const auto& [version, text] : cases) EXPECT_EQ(format_version(version), text) << std::hex << version;
    EXPECT_EQ(name_version_text(*object("system-6.40.1")), "system-6.40.1");
    EXPECT_EQ(requirement_text({"X", 0, 7, 0}) + requirement_text(req("s:6.40beta3")), "Xs-6.40beta3");
}

// By version as an unsigned number, then build time; into the direct members of a bundle by name (the first of the
// name), never deeper; unrelated packages are equal.
TEST(VersionTest, ComparesPackages) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"p @100", "p @200", -1},
        {"p @100", "p @100", 0},
        {"p-2.0", "p-1.0 @4294967295", 1},
        {"p @2147483648", "p @1", 1},
        {"p-128.0", "p-1.0", 1},
        {"p-5.0", "q-9.0", 0},
        {"p-6.40alpha2", "p-6.40beta1", -1},
        {"p-6.40rc3", "p-6.40", -1},
        {"p-6.40.1", "p-6.41alpha1", -1},
        {"b-9.0 {w-1.0} {s-5.0}", "s-4.0", 1},
        {"b-9.0 {w-1.0} {s-5.0}", "s-6.0", -1},
        {"b-1.0 {s-5.0 @9}", "s-5.0 @5", 1},
        {"o-1.0 {i-1.0 {d-5.0}}", "d-1.0", 0},
        {"b-1.0 {m-3.0} {m-9.0}", "m-5.0", -1},
        {"b-2.0 {b-1.0}", "b-1.0", 1},
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(compare_packages(*object(a), *object(b)), order) << a << " / " << b;
        EXPECT_EQ(compare_packages(*object(b), *object(a)), -order) << a << " / " << b;
        EXPECT_EQ(directional_compare(*object(a), *object(b), true), -order) << a << " / " << b;
    }
    const auto bundle = object("velnor {system}");
    EXPECT_TRUE(named_or_contains(*bundle, "velnor"));
    EXPECT_TRUE(named_or_contains(*bundle, "system"));
    EXPECT_FALSE(named_or_contains(*bundle, "sys"));
    EXPECT_FALSE(named_or_contains(*object("system"), "velnor"));
}

// Closed and open bounds (0 leaves a side open, touching bounds overlap); a package provides what one of its
// provisions overlaps, never its own name.
TEST(VersionTest, MatchesOverlapsAndProvides) {
    const std::tuple<const char*, const char*, bool> matching[] = {
        {"system", "system-0.1", true},          {"system:6.40", "system-6.40rc1", false},
        {"system:6.40", "system-6.40", true},    {"system::6.40", "system-6.40rc1", true},
        {"system::6.40", "system-7.1", false},   {"system:6.39:6.40", "system-6.40.1", false},
        {"other", "system", false},              {"syste", "system", false},
    };
    for (const auto& [r, package, expected] : matching)
        EXPECT_EQ(matches(*object(package), req(r)), expected) << r << " " << package;
    const std::tuple<const char*, const char*, bool> overlapping[] = {
        {"X", "X:6.50:6.50", true},          {"X:6.40", "X::6.39", false},         {"X:6.40", "X", true},
        {"X:6.40", "X::6.40", true},         {"X::6.39", "X:6.40", false},         {"X::6.40", "X:6.40", true},
        {"X:6.39:6.40", "X:6.40:6.50", true}, {"X:6.39:6.39", "X:6.40:6.50", false}, {"X", "Y", false},
    };
    for (const auto& [provision, r, expected] : overlapping)
        EXPECT_EQ(overlaps(req(provision), req(r)), expected) << provision << " " << r;
    const std::tuple<const char*, const char*, bool> providing[] = {
        {"p +Y +X::6.39:-3 +X:6.50::7", "X:6.40", true},
        {"p +Y +X::6.39:-3 +X:6.50::7", "X::6.39", true},
        {"p +Y +X::6.39:-3 +X:6.50::7", "X:6.40:6.40", false},
        {"p +Y +X::6.39:-3 +X:6.50::7", "p", false},
        {"p", "X", false},
    };
    for (const auto& [package, r, expected] : providing)
        EXPECT_EQ(provides(*object(package), req(r)), expected) << package << " " << r;
}
