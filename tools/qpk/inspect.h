// "qpk inspect": what a package file holds, read the way the installer reads it.
#pragma once

#include <cstdio>
#include <string>

namespace qpk {

// Prints the part table, each package or bundle header's description (as
// the download scan reads it), the default-disabled member list, the file
// archive's entries and the digest at each signature part. Returns
// exit_ok, or exit_failure after reporting to err that the file cannot be
// read or is malformed.
int inspect_file(const std::string& path, std::FILE* out, std::FILE* err);

}  // namespace qpk
