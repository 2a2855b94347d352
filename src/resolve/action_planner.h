// Carrying out the scheduled uninstall, enable and disable actions.
#pragma once

#include "console/context.h"
#include "manifest/manifest.h"

// Plans the scheduled actions and stages them in the manifest; true when
// something was planned. Planning is not available yet: nothing is planned.
bool apply_actions(installer_context& ctx, file_manifest& manifest, int verbosity);
