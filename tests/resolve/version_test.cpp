#include "resolve/version.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr std::uint32_t v639 = make_version(6, 39, 'f', 0), v640 = make_version(6, 40, 'f', 0),
                        v650 = make_version(6, 50, 'f', 0);

// "name:version.build" packages, and bundles of them: "b:1.0{m:3.0,n:1.0}".
std::unique_ptr<package_description> parse(const std::string& text, std::size_t& at) {
    auto p = std::make_unique<package_description>();
    const std::size_t colon = text.find(':', at), dot = text.find('.', colon), end = text.find_first_of(",{}", dot);
    p->name = text.substr(at, colon - at);
    p->version = static_cast<std::uint32_t>(std::stoul(text.substr(colon + 1, dot - colon - 1)));
    p->build_time = static_cast<std::uint32_t>(std::stoul(text.substr(dot + 1, end - dot - 1)));
    at = end;
    if (at < text.size() && text[at] == '{') {
        p->bundle = true;
        do p->sub_packages.push_back(parse(text, ++at));
        while (text[at] == ',');
        ++at;
    }
    return p;
}
std::unique_ptr<package_description> pkg(const std::string& text) {
    std::size_t at = 0;
    return parse(text, at);
}

}  // namespace

TEST(VersionTest, FormatsEveryKindAndOddKindBytes) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {make_version(6, 40, 'f', 0), "6.40"},       {make_version(6, 40, 'f', 1), "6.40.1"},
        {make_version(6, 40, 'b', 3), "6.40beta3"},  {make_version(6, 40, 'c', 1), "6.40rc1"},
        {make_version(6, 40, 'c', 0), "6.40rc"},     {make_version(6, 40, 'a', 0), "6.40alpha"},
        {make_version(6, 40, 'a', 2), "6.40alpha2"}, {0x031665FF, "3.22255"},
        {make_version(1, 2, 0, 0), "1.2"},           {make_version(1, 2, 'F', 7), "1.27"},
        {make_version(255, 255, 'f', 255), "255.255.255"}, {0, "0.0"}, {0xFFFFFFFF, "255.255255"},
    };
    for (const auto& [version, text] : cases) EXPECT_EQ(format_version(version), text) << std::hex << version;
    EXPECT_EQ(name_version_text(*pkg("system:" + std::to_string(make_version(6, 40, 'f', 1)) + ".0")), "system-6.40.1");
    EXPECT_EQ(requirement_text({"X", 0, v640, 0}), "X");
    EXPECT_EQ(requirement_text({"system", make_version(6, 40, 'b', 3), 0, 0}), "system-6.40beta3");
}

// The version as an unsigned integer, then the build time; into the direct
// members of a bundle by name (the first member of the name), never deeper;
// unrelated packages are equal.
TEST(VersionTest, ComparesPackages) {
    const struct {
        std::string a, b;
        int order;
    } cases[] = {
        {"p:1.100", "p:1.200", -1},          {"p:1.100", "p:1.100", 0},          {"p:2.0", "p:1.4294967295", 1},
        {"p:1.2147483648", "p:1.1", 1},      {"p:2147483648.0", "p:1.0", 1},     {"p:5.0", "q:9.0", 0},
        {"b:9.0{w:1.0,s:5.0}", "s:4.0", 1},  {"b:9.0{w:1.0,s:5.0}", "s:6.0", -1}, {"b:1.0{s:5.9}", "s:5.5", 1},
        {"o:1.0{i:1.0{d:5.0}}", "d:1.0", 0}, {"b:1.0{m:3.0,m:9.0}", "m:5.0", -1}, {"b:2.0{b:1.0}", "b:1.0", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare_packages(*pkg(c.a), *pkg(c.b)), c.order) << c.a << " " << c.b;
        EXPECT_EQ(compare_packages(*pkg(c.b), *pkg(c.a)), -c.order) << c.b << " " << c.a;
    }
    const std::uint32_t ascending[] = {make_version(6, 40, 'a', 2), make_version(6, 40, 'b', 1), make_version(6, 40, 'c', 3),
                                       v640, make_version(6, 40, 'f', 1), make_version(6, 41, 'a', 1)};
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i)
        EXPECT_EQ(compare_packages(*pkg("s:" + std::to_string(ascending[i]) + ".0"), *pkg("s:" + std::to_string(ascending[i + 1]) + ".0")), -1);
    EXPECT_EQ(directional_compare(*pkg("p:1.1"), *pkg("p:1.2"), false), -1);
    EXPECT_EQ(directional_compare(*pkg("p:1.1"), *pkg("p:1.2"), true), 1);
    EXPECT_EQ(directional_compare(*pkg("p:1.1"), *pkg("p:1.1"), true), 0);
    const auto bundle = pkg("velnor:1.0{system:1.0}");
    for (const auto& [name, found] : {std::pair{"velnor", true}, {"system", true}, {"System", false}, {"sys", false}})
        EXPECT_EQ(named_or_contains(*bundle, name), found) << name;
    EXPECT_FALSE(named_or_contains(*pkg("system:1.0"), "velnor"));
}

// Closed and open bounds: 0 leaves a side unbounded; touching bounds overlap.
TEST(VersionTest, MatchesOverlapsAndProvides) {
    const std::uint32_t rc1 = make_version(6, 40, 'c', 1), v71 = make_version(7, 1, 'f', 0);
    const std::tuple<requirement, std::uint32_t, bool> matching[] = {
        {{"system", 0, 0, 0}, 1, true},          {{"system", 0, 0, 0}, 0xFFFFFFFF, true}, {{"system", v640, 0, 0}, rc1, false},
        {{"system", v640, 0, 0}, v640, true},    {{"system", v640, 0, 0}, v71, true},     {{"system", 0, v640, 0}, rc1, true},
        {{"system", 0, v640, 0}, v640, true},    {{"system", 0, v640, 0}, v71, false},    {{"system", v639, v640, 0}, v639, true},
        {{"system", v639, v640, 0}, v640 + 1, false}, {{"other", 0, 0, 0}, v640, false}, {{"syste", 0, 0, 0}, v640, false},
    };
    for (const auto& [req, version, expected] : matching)
        EXPECT_EQ(matches(*pkg("system:" + std::to_string(version) + ".0"), req), expected) << req.minimum << ".." << req.maximum << " " << version;
    const std::tuple<requirement, requirement, bool> overlapping[] = {
        {{"X", 0, 0, 0}, {"X", v650, v650, 0}, true},     {{"X", 0, 0, 0}, {"X", 0, 0, 0}, true},
        {{"X", v640, 0, 0}, {"X", 0, v639, 0}, false},    {{"X", v640, 0, 0}, {"X", 0, 0, 0}, true},
        {{"X", v640, 0, 0}, {"X", 0, v640, 0}, true},     {{"X", 0, v639, 0}, {"X", v640, 0, 0}, false},
        {{"X", 0, v640, 0}, {"X", v640, 0, 0}, true},     {{"X", v639, v640, 0}, {"X", v640, v650, 0}, true},
        {{"X", v639, v639, 0}, {"X", v640, v650, 0}, false}, {{"X", 0, 0, 5}, {"Y", 0, 0, 0}, false},
    };
    for (const auto& [provision, req, expected] : overlapping)
        EXPECT_EQ(overlaps(provision, req), expected) << provision.minimum << ".." << provision.maximum << " " << req.minimum << ".." << req.maximum;
    auto p = pkg("p:1.0");
    EXPECT_FALSE(provides(*p, {"X", 0, 0, 0}));
    p->provisions = {{"Y", 0, 0, 1}, {"X", 0, v639, -3}, {"X", v650, 0, 7}};
    EXPECT_TRUE(provides(*p, {"X", v640, 0, 0}));  // the later entry overlaps
    EXPECT_TRUE(provides(*p, {"X", 0, v639, 0}));
    EXPECT_FALSE(provides(*p, {"X", v640, v640, 0}));
    EXPECT_FALSE(provides(*p, {"p", 0, 0, 0}));  // a package's own name is not a provision
}
