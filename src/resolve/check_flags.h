// Check flags that install_check returns, and the acceptance mask bits that
// callers pass in the same positions.
#pragma once

#include <cstdint>

constexpr std::uint32_t check_newer = 1;
constexpr std::uint32_t check_older = 2;
constexpr std::uint32_t check_incompatible = 8;
constexpr std::uint32_t check_conflicting = 16;
constexpr std::uint32_t check_same = 32;
