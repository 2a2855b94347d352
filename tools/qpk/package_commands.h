// "qpk build" and "qpk bundle": package and bundle files from a directory
// tree, a description and member package files.
#pragma once

#include <cstdio>
#include <string>

namespace qpk {

// Runs "qpk build" or "qpk bundle" (command); exit status as for qpk::run.
int run_package_command(const std::string& command, int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qpk
