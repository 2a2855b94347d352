// The progress bar drawn on the status line while a package is installed.
#pragma once

#include <cstdint>
#include <string>

#include "console/context.h"
#include "stream/package_istream.h"

// prefix + " [" + a bar of '#' and blanks + "]", 77 characters whenever the
// prefix leaves room: position of total fills the bar proportionally.
std::string progress_text(const std::string& prefix, std::uint32_t position, std::uint32_t total);

// Draws the bar for the bytes consumed from the package file so far (file
// header included) against the file's total size. A bar that has not moved
// by a whole cell draws nothing new.
void show_progress(installer_context& ctx, package_istream& stream, const std::string& prefix);
