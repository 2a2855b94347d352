#include "resolve/install_planner.h"

int install_from_stream(installer_context& ctx, file_manifest&, std::istream&, std::uint32_t, const user_set_states&,
                        std::streambuf*, std::string*, bool*) {
    report_error(ctx, "installing from a package stream is not supported yet");
    return 1;
}

bool clean_up(installer_context&, file_manifest&) { return false; }
