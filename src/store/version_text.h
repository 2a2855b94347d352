// How version numbers, packages and requirements are written in messages,
// records and listings.
#pragma once

#include <cstdint>
#include <string>

#include "store/package.h"

// "6.40", "6.40.1", "6.40beta3", "6.40rc1", "3.22255" for an unknown kind byte.
std::string format_version(std::uint32_t version);

// "system-6.40.1".
std::string name_version_text(const package_description& package);

// "system-6.40", or just "system" when the minimum is 0.
std::string requirement_text(const requirement& req);
