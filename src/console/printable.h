// Text from package files, file names and the database may hold any byte.
// Shown raw, a line end would forge a row of the listing or a line of the
// post-install log, and an escape sequence would reach the terminal.
#pragma once

#include <string>

// text with every byte below 0x20 and 0x7F (DEL) shown as "?". Printable
// text, bytes of 0x80 and above included, stays byte for byte.
std::string printable(std::string text);
