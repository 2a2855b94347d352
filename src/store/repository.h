// Loading the installed set at start-up, and scanning download directories.
#pragma once

#include <string>

#include "console/context.h"

// Stores quiet and architecture in the context, then loads the installed
// packages into its package list.
void load_repository(installer_context& ctx, bool quiet, const std::string& architecture);
