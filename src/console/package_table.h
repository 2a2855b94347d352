// The package table that "--show" prints.
#pragma once

#include "console/context.h"

// Prints the header, a dashed line and one row per record in load order,
// to the context's output, whatever the quiet flag says.
void print_package_table(installer_context& ctx);
