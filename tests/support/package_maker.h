// Signed package files from a compact description, for the scenario tables
// that install, replace and uninstall packages in a temporary root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qpk/writer.h"

namespace maker {

struct recipe {
    std::string name = "hello";
    std::string version = "6.48.1";  // as the package tool takes it
    std::uint32_t build_time = 1700000000;
    std::uint32_t flags = 0;  // header flags
    std::optional<std::string> architecture = {};
    // NAME[:MIN[:MAX[:PRECEDENCE]]] each; a list part is written only for a
    // list that is not empty.
    std::vector<std::string> depends = {}, provides = {}, conflicts = {};
    // The file archive; no archive part when it is empty and no raw archive is given.
    std::vector<qpk::file_item> files = {};
    // Inflated archive bytes used as they stand instead of the files.
    std::optional<std::string> archive = {};
    std::optional<std::string> image = {};
    int level = 2;  // signature level: 2, 1, or 0 for a signature part of zero bytes
    bool second_kind = false;
    std::vector<qpk::raw_part> after_signature = {};
};

// What the writer needs for recipe (the signature part still unsigned).
qpk::package_contents contents(const recipe& package);

// A whole package file, signed with the development keys of the source tree.
std::string package(const recipe& package);

// A bundle of the members, signed alike: header takes the bundle's name,
// version, build time and image; disabled names the default-disabled members.
std::string bundle(const recipe& header, const std::vector<recipe>& members,
                   const std::vector<std::string>& disabled = {});

}  // namespace maker
