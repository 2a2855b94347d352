// Package files made to cost their readers far more than their size.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "store/package_format.h"

namespace hostile_files {

// A bundle header followed by nothing but bare package headers.
inline std::string bundle_of_bare_members(const std::string& name, std::size_t members) {
    qpk::description_fields bundle, member;
    bundle.name = name;
    bundle.version = 7;
    member.name = "m";
    std::vector<qpk::raw_part> parts(members + 1, {part_type::package_header, qpk::encode_header(member)});
    parts[0] = {part_type::bundle_header, qpk::encode_header(bundle)};
    return qpk::encode_container(parts, false);
}

}  // namespace hostile_files
