// The file archive's entries taken from a directory tree on disk.
#pragma once

#include <string>
#include <vector>

#include "qpk/writer.h"

namespace qpk {

// Every directory and regular file below root, each directory before what
// it holds, names sorted bytewise within a directory, paths relative to root
// without a leading "/". Modes are taken from the files. False (with error
// set) when something cannot be read, or is of another file type (a symbolic
// link, a named pipe, a socket or a device: the installer would pass it over).
bool read_tree(const std::string& root, std::vector<file_item>& files, std::string& error);

// The whole content of a file; false with error set ("cannot open ...",
// "cannot read ...") when it cannot be read.
bool read_whole_file(const std::string& path, std::string& data, std::string& error);

// The same for a file that must be a regular file: a FIFO or a device (which
// would make the reading wait for ever or never end) is refused at once
// ("cannot open ...: not a regular file").
bool read_whole_regular_file(const std::string& path, std::string& data, std::string& error);

}  // namespace qpk
