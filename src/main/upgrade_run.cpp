#include "main/upgrade_run.h"

void upgrade_run(installer_context&, file_manifest&, std::uint32_t) {}
