// Version and requirement texts as the packager writes them on the command
// line. The installer itself never parses versions; only the tool does.
#pragma once

#include <cstdint>
#include <string>

#include "store/package.h"

namespace qpk {

// "6.40", "6.40.1", "6.40beta3", "6.40rc1", "6.40alpha2" (a kind without a
// number, as in "6.40beta", is number 0); every number 0-255.
bool parse_version_text(const std::string& text, std::uint32_t& version);

// NAME[:MIN[:MAX[:PRECEDENCE]]]: MIN and MAX are version texts, empty or
// "0" for no bound; PRECEDENCE a signed decimal number. The name has at most
// 16 characters.
bool parse_requirement_text(const std::string& text, requirement& req, std::string& error);

}  // namespace qpk
