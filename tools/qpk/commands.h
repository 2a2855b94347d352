// The qpk command line: build, bundle, sign, verify, inspect, keygen.
#pragma once

#include <cstdio>

namespace qpk {

// Runs one qpk command; the exit statuses are those of exit_status.h.
int run(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qpk
