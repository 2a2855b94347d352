// The progress bar drawn on the status line while a package is installed.
#pragma once

#include <cstdint>
#include <string>

// prefix + " [" + a bar of '#' and blanks + "]", 77 characters whenever the
// prefix leaves room: position of total fills the bar proportionally.
std::string progress_text(const std::string& prefix, std::uint32_t position, std::uint32_t total);
