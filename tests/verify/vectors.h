// Reading the shared known-answer files at test time.
#pragma once

#include <algorithm>
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

// One line of a section as its key=value fields: a value runs on over words without '=', words before any key go to
// the key "".
using vector_record = std::map<std::string, std::string>;
using vector_file = std::map<std::string, std::vector<vector_record>>;  // sections by name, records in file order

inline vector_file load_vectors(const std::string& name) {  // VECTORS_DIR/name
    std::ifstream in(std::string(VECTORS_DIR) + "/" + name);
    if (!in) throw std::runtime_error("cannot read the vectors " + name);
    vector_file file;
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("[")) section = line.substr(1, line.find(']') - 1);
        if (line.empty() || line[0] == '#' || line[0] == '[') continue;
        vector_record& record = file[section].emplace_back();
        std::istringstream words(line);
        std::string key;
        for (std::string word; words >> word;) {
            const auto eq = word.find('=');
            if (eq != std::string::npos) key = word.substr(0, eq);
            std::string& value = record[key];
            value += (value.empty() ? "" : " ") + word.substr(eq == std::string::npos ? 0 : eq + 1);
        }
    }
    return file;
}

inline std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
    const std::string text = test_bytes::from_hex(hex);
    return {text.begin(), text.end()};
}

// The value of key in the first record of the section that has it ([key], [keys]).
inline const std::string& first(const vector_file& f, const std::string& section, const std::string& key) {
    for (const auto& record : f.at(section))
        if (record.count(key) != 0) return record.at(key);
    throw std::runtime_error("no " + key + " in [" + section + "]");
}

inline std::vector<std::uint32_t> vector_table(const vector_file& f) {  // the sign_hash table of [table]
    std::vector<std::uint32_t> table;
    for (const auto& record : f.at("table")) {
        std::istringstream words(record.at(""));
        for (std::string w; words >> w;) table.push_back(static_cast<std::uint32_t>(std::stoul(w, nullptr, 16)));
    }
    return table;
}

// [keys] of packages.txt with the table of signature.txt: the development pair's public keys.
inline verify::public_keys package_vector_keys() {
    const vector_file packages = load_vectors("packages.txt");
    const auto ed = hex_bytes(first(packages, "keys", "eddsa_public"));
    const auto cv = hex_bytes(first(packages, "keys", "curve25519_public"));
    const auto table = vector_table(load_vectors("signature.txt"));
    verify::public_keys keys{};
    std::copy_n(ed.begin(), std::min(ed.size(), sizeof keys.eddsa_public), keys.eddsa_public);
    std::copy_n(cv.begin(), std::min(cv.size(), sizeof keys.curve25519_public), keys.curve25519_public);
    std::copy_n(table.begin(), std::min<std::size_t>(table.size(), verify::sign_hash_table_words), keys.table);
    return keys;
}

// A build with the development key file checks against them; a product build does not.
inline bool build_has_vector_keys() {
    const verify::public_keys keys = package_vector_keys();
    return std::memcmp(&keys, &verify::builtin_keys(), sizeof keys) == 0;
}

// The package files of packages.txt: the levels of their signatures in file order ("21"), and their bytes.
inline std::vector<std::pair<std::string, std::string>> package_files() {
    std::vector<std::pair<std::string, std::string>> files;
    std::string levels;
    const vector_file packages = load_vectors("packages.txt");
    for (const vector_record& record : packages.at("keys")) {
        if (record.count("level") != 0) levels = record.at("level");
        std::erase(levels, ' ');
        if (record.count("file") != 0) files.emplace_back(levels, test_bytes::from_hex(record.at("file")));
    }
    return files;
}

}  // namespace test_vectors
