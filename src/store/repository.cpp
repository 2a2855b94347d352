#include "store/repository.h"

void load_repository(installer_context& ctx, bool quiet, const std::string& architecture) {
    ctx.quiet = quiet;
    ctx.architecture = architecture;
}
