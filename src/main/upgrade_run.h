// The upgrade run: installs the package files of the download directories.
#pragma once

#include <cstdint>

#include "console/context.h"
#include "manifest/manifest.h"

void upgrade_run(installer_context& ctx, file_manifest& manifest, std::uint32_t mask);
