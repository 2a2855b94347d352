// Package files made to cost their readers as much as their size allows:
// well-formed part by part, unsigned, and far from any real package.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "store/package_format.h"

namespace hostile_files {

// A bundle header followed by nothing but bare package headers.
inline std::string bundle_of_bare_members(const std::string& name, std::size_t members) {
    qpk::description_fields bundle;
    bundle.name = name;
    bundle.version = 7;
    qpk::description_fields member;
    member.name = "m";
    std::vector<qpk::raw_part> parts{{part_type::bundle_header, qpk::encode_header(bundle)}};
    parts.resize(members + 1, {part_type::package_header, qpk::encode_header(member)});
    return qpk::encode_container(parts, false);
}

// A package whose file archive holds empty files with names of
// name_length bytes.
inline std::string archive_of_long_names(std::size_t entries, std::size_t name_length) {
    qpk::package_contents package;
    package.name = "names";
    package.files = std::vector<qpk::file_item>(entries, qpk::regular_file(std::string(name_length, 'n'), ""));
    return qpk::build_package(package);
}

}  // namespace hostile_files
