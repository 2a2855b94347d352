// Version numbers: how packages order, and how a package or a
// provision is matched against a requirement.
#pragma once

#include <cstdint>
#include <string>

#include "store/package.h"
#include "store/version_text.h"

// Packs (major, minor, release kind letter, number) into a version number.
constexpr std::uint32_t make_version(unsigned major, unsigned minor, char kind, unsigned number) {
    return (major & 0xFF) << 24 | (minor & 0xFF) << 16 | (static_cast<unsigned char>(kind) << 8) | (number & 0xFF);
}

// Positive when a is newer, negative when older, 0 when equal or unrelated.
// A bundle is compared through its direct sub-package of the other's name.
int compare_packages(const package_description& a, const package_description& b);

// compare_packages, negated when reverse is set.
int directional_compare(const package_description& a, const package_description& b, bool reverse);

// The package is named name, or one of its direct sub-packages is.
bool named_or_contains(const package_description& package, const std::string& name);

// The package satisfies the requirement by its own name and version.
bool matches(const package_description& package, const requirement& req);

// The provision's range can satisfy the requirement.
bool overlaps(const requirement& provision, const requirement& req);

// Some provision of the package overlaps the requirement.
bool provides(const package_description& package, const requirement& req);
