// What the installer would refuse in a package, asked before the package is
// written: the installer's own checks, so that a package the tool makes is
// one the installer takes.
#pragma once

#include <string>
#include <vector>

#include "qpk/writer.h"

namespace qpk {

// Empty when the installer takes name as a package name (a record directory
// of the package database, at most 16 bytes); otherwise why not.
std::string package_name_problem(const std::string& name);

// Empty when the installer can keep the description's requirement lists in
// its package database; otherwise why not.
std::string requirement_problem(const description_fields& contents);

// Empty when the installer installs every regular file of files for the
// package name, enabled or disabled; otherwise the entry it refuses and why.
std::string entry_problem(const std::string& name, const std::vector<file_item>& files);

}  // namespace qpk
