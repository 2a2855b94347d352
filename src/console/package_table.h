// The package table that "--show" prints.
#pragma once

#include <cstdint>
#include <string>

#include "console/context.h"

// A build time (Unix seconds, UTC) as the table shows it: "Jul/14/2017 02:40:00".
std::string build_time_text(std::uint32_t build_time);
// The same time in ISO 8601 form for machine-readable output: "2017-07-14T02:40:00Z".
std::string build_time_iso8601(std::uint32_t build_time);

// Prints the header, a dashed line and one row per record in load order,
// to the context's output, whatever the quiet flag says.
void print_package_table(installer_context& ctx);
