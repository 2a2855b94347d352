#include "resolve/version.h"

#include <gtest/gtest.h>

#include "support/package_line.h"

using line::object;
using line::req;

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
}

// Closed and open bounds: 0 leaves a side open, and touching bounds overlap.
TEST(VersionTest, Overlaps) {
    const std::tuple<const char*, const char*, bool> overlapping[] = {
        {"X", "X:6.50:6.50", true},          {"X:6.40", "X::6.39", false},         {"X:6.40", "X", true},
        {"X:6.40", "X::6.40", true},         {"X::6.39", "X:6.40", false},         {"X::6.40", "X:6.40", true},
        {"X:6.39:6.40", "X:6.40:6.50", true}, {"X:6.39:6.39", "X:6.40:6.50", false}, {"X", "Y", false},
    };
    for (const auto& [provision, r, expected] : overlapping)
        EXPECT_EQ(overlaps(req(provision), req(r)), expected) << provision << " " << r;
}
