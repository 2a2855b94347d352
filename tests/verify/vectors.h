// Reading the shared known-answer files at test time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "verify/builtin_keys.h"

// In a namespace of their own: the test binary links every test file together.
namespace test_vectors {

// One line of a section: its key=value fields (a value runs on over blank-
// separated words that carry no '='), and the words before any key.
struct vector_record {
    std::string line;
    std::map<std::string, std::string> fields;
    std::vector<std::string> words;

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    const std::string& at(const std::string& key) const;
};

// Sections by name, their records in file order.
using vector_file = std::map<std::string, std::vector<vector_record>>;

// Parses VECTORS_DIR/name; throws when it cannot be read.
vector_file load_vectors(const std::string& name);

std::vector<std::uint8_t> from_hex(const std::string& hex);
std::string to_hex(const std::uint8_t* data, std::size_t n);
inline std::string to_hex(const std::vector<std::uint8_t>& v) { return to_hex(v.data(), v.size()); }

// The 72-word sign_hash table of the [table] section of signature.txt.
std::vector<std::uint32_t> vector_table(const vector_file& f);

// The value of key in the first record of section that has it (for sections
// of one key per line, such as [key] and [keys]).
const std::string& section_field(const vector_file& f, const std::string& section, const std::string& key);

// The keys of the shared package files: [keys] of packages.txt with the
// sign_hash table of signature.txt.
verify::public_keys package_vector_keys();

// Whether this build checks signatures against those keys (a build with the
// development key file does; a product build does not).
bool build_has_vector_keys();

}  // namespace test_vectors
