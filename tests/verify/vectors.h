// Reading the known-answer files of tests/vectors at test time. A file or section that cannot be read fails the test
// that asked for it and reads as empty; nothing here may run before the tests start.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "stream/package_bytes.h"
#include "verify/builtin_keys.h"

namespace test_vectors {

// The lines of each section in file order, as key=value fields; a word without '=' goes on the value before it, or to
// the key "" at the start of a line.
using vector_record = std::map<std::string, std::string>;
using vector_file = std::map<std::string, std::vector<vector_record>>;

inline vector_file load_vectors(const std::string& name) {
    const std::string path = std::string(VECTORS_DIR) + "/" + name;
    std::ifstream in(path);
    if (!in) ADD_FAILURE() << "cannot read the test vector file " << path;
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
            key = eq == std::string::npos ? key : word.substr(0, eq);
            record[key] += (record[key].empty() ? "" : " ") + word.substr(eq == std::string::npos ? 0 : eq + 1);
        }
    }
    return file;
}

// The lines of a section; none when the file has no such section.
inline const std::vector<vector_record>& section_of(const vector_file& f, const std::string& section) {
    static const std::vector<vector_record> none;
    const auto it = f.find(section);
    if (it == f.end()) ADD_FAILURE() << "no section [" << section << "] in the test vectors";
    return it == f.end() ? none : it->second;
}

// The values of each key in a section, run on over its lines.
inline vector_record merged(const vector_file& f, const std::string& section) {
    vector_record all;
    for (const vector_record& record : section_of(f, section))
        for (const auto& [key, value] : record) all[key] += (all[key].empty() ? "" : " ") + value;
    return all;
}

inline std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The development pair's public keys: [keys] of packages.txt with the sign_hash table of signature.txt.
inline verify::public_keys package_vector_keys() {
    vector_record hex = merged(load_vectors("packages.txt"), "keys");
    verify::public_keys keys{};
    for (auto [key, to] : {std::pair{"eddsa_public", keys.eddsa_public}, {"curve25519_public", keys.curve25519_public}}) {
        const auto bytes = hex_bytes(hex[key]);
        if (bytes.size() == 32) std::memcpy(to, bytes.data(), 32);
    }
    std::istringstream words(merged(load_vectors("signature.txt"), "table")[""]);
    for (std::uint32_t& word : keys.table) words >> std::hex >> word;
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
    for (const vector_record& record : section_of(packages, "keys")) {
        if (record.count("level") != 0) levels = record.at("level");
        std::erase(levels, ' ');
        const auto bytes = hex_bytes(record.count("file") != 0 ? record.at("file") : "");
        if (!bytes.empty()) files.emplace_back(levels, std::string(bytes.begin(), bytes.end()));
    }
    return files;
}

}  // namespace test_vectors
