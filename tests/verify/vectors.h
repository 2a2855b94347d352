// Reading the shared known-answer files at test time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "verify/builtin_keys.h"

namespace test_vectors {

// One line of a section: its key=value fields (a value runs on over words that carry no '='), and the words before any key.
struct vector_record {
    std::string line;
    std::map<std::string, std::string> fields;
    std::vector<std::string> words;
    bool has(const std::string& key) const { return fields.count(key) != 0; }
    const std::string& at(const std::string& key) const;
};
using vector_file = std::map<std::string, std::vector<vector_record>>;  // sections by name, records in file order

vector_file load_vectors(const std::string& name);  // VECTORS_DIR/name; throws when it cannot be read
std::vector<std::uint8_t> from_hex(const std::string& hex);
std::string to_hex(const std::uint8_t* data, std::size_t n);
inline std::string to_hex(const std::vector<std::uint8_t>& v) { return to_hex(v.data(), v.size()); }
std::vector<std::uint32_t> vector_table(const vector_file& f);  // the sign_hash table of [table]
// The value of key in the first record of the section that has it ([key], [keys]).
const std::string& section_field(const vector_file& f, const std::string& section, const std::string& key);
verify::public_keys package_vector_keys();  // [keys] of packages.txt with the table of signature.txt
bool build_has_vector_keys();               // a build with the development key file checks against them

}  // namespace test_vectors
