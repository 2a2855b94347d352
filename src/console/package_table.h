// The package table that "--show" prints.
#pragma once

#include "console/context.h"

void print_package_table(installer_context& ctx);
