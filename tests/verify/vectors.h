// Reading the shared known-answer files at test time.
#pragma once

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/package_bytes.h"
#include "verify/builtin_keys.h"

namespace test_vectors {

// One line of a section: its key=value fields (a value runs on over words without '='), and the words before any key.
struct vector_record {
    std::string line;
    std::map<std::string, std::string> fields;
    std::vector<std::string> words;
    bool has(const std::string& key) const { return fields.count(key) != 0; }
    const std::string& at(const std::string& key) const { return has(key) ? fields.at(key) : throw std::runtime_error("no " + key + " in: " + line); }
};
using vector_file = std::map<std::string, std::vector<vector_record>>;  // sections by name, records in file order

inline vector_file load_vectors(const std::string& name) {  // VECTORS_DIR/name
    std::ifstream in(std::string(VECTORS_DIR) + "/" + name);
    if (!in) throw std::runtime_error("cannot read the vectors " + name);
    vector_file file;
    std::string section, key;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#' || line[0] == '[') {
            if (!line.empty() && line[0] == '[') section = line.substr(1, line.find(']') - 1);
            continue;
        }
        vector_record record{line, {}, {}};
        std::istringstream words(line);
        key.clear();
        for (std::string word; words >> word;) {
            if (const auto eq = word.find('='); eq != std::string::npos) record.fields[key = word.substr(0, eq)] = word.substr(eq + 1);
            else if (!key.empty()) record.fields[key] += " " + word;
            else record.words.push_back(word);
        }
        file[section].push_back(record);
    }
    return file;
}

inline std::vector<std::uint8_t> from_hex(const std::string& hex) {
    const std::string bytes = test_bytes::from_hex(hex);
    return {bytes.begin(), bytes.end()};
}
inline std::string to_hex(const std::uint8_t* data, std::size_t n) { return test_bytes::to_hex(data, n); }
inline std::string to_hex(const std::vector<std::uint8_t>& v) { return to_hex(v.data(), v.size()); }

inline std::vector<std::uint32_t> vector_table(const vector_file& f) {  // the sign_hash table of [table]
    std::vector<std::uint32_t> table;
    for (const auto& record : f.at("table"))
        for (const auto& w : record.words) table.push_back(static_cast<std::uint32_t>(std::stoul(w, nullptr, 16)));
    return table;
}

// The value of key in the first record of the section that has it ([key], [keys]).
inline const std::string& section_field(const vector_file& f, const std::string& section, const std::string& key) {
    for (const auto& record : f.at(section))
        if (record.has(key)) return record.at(key);
    throw std::runtime_error("no " + key + " in [" + section + "]");
}

// [keys] of packages.txt with the table of signature.txt: the development pair's public keys.
inline verify::public_keys package_vector_keys() {
    const auto pkg = load_vectors("packages.txt");
    const auto ed = from_hex(section_field(pkg, "keys", "eddsa_public")), cv = from_hex(section_field(pkg, "keys", "curve25519_public"));
    const auto table = vector_table(load_vectors("signature.txt"));
    if (ed.size() != 32 || cv.size() != 32 || table.size() != verify::sign_hash_table_words) throw std::runtime_error("malformed vector keys");
    verify::public_keys keys{};
    std::memcpy(keys.eddsa_public, ed.data(), 32), std::memcpy(keys.curve25519_public, cv.data(), 32), std::memcpy(keys.table, table.data(), sizeof keys.table);
    return keys;
}

// A build with the development key file checks against them; a product build does not.
inline bool build_has_vector_keys() {
    const verify::public_keys keys = package_vector_keys();
    return std::memcmp(&keys, &verify::builtin_keys(), sizeof keys) == 0;
}

}  // namespace test_vectors
