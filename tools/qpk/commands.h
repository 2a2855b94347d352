// The qpk command line: build, bundle, inspect.
#pragma once

#include <cstdio>

namespace qpk {

// Runs one qpk command. Exit status: 0 success, 1 unreadable or malformed
// input or a file that cannot be written, 2 bad arguments.
int run(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qpk
