#include "verify/vectors.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_vectors {

const std::string& vector_record::at(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("no field " + key + " in: " + line);
    return it->second;
}

vector_file load_vectors(const std::string& name) {
    const std::string path = std::string(VECTORS_DIR) + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    vector_file file;
    std::string section;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        vector_record record;
        record.line = line;
        std::istringstream words(line);
        std::string word;
        std::string key;
        while (words >> word) {
            const auto eq = word.find('=');
            if (eq != std::string::npos) {
                key = word.substr(0, eq);
                record.fields[key] = word.substr(eq + 1);
            } else if (!key.empty()) {
                record.fields[key] += " " + word;
            } else {
                record.words.push_back(word);
            }
        }
        file[section].push_back(record);
    }
    return file;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::runtime_error("odd hex: " + hex);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string to_hex(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::vector<std::uint32_t> vector_table(const vector_file& f) {
    std::vector<std::uint32_t> table;
    for (const auto& record : f.at("table")) {
        for (const auto& w : record.words) table.push_back(static_cast<std::uint32_t>(std::stoul(w, nullptr, 16)));
    }
    return table;
}

const std::string& section_field(const vector_file& f, const std::string& section, const std::string& key) {
    for (const auto& record : f.at(section)) {
        if (record.has(key)) return record.at(key);
    }
    throw std::runtime_error("no " + key + " in [" + section + "]");
}

verify::public_keys package_vector_keys() {
    const auto pkg = load_vectors("packages.txt");
    const auto sig = load_vectors("signature.txt");
    verify::public_keys keys{};
    const auto ed = from_hex(section_field(pkg, "keys", "eddsa_public"));
    const auto cv = from_hex(section_field(pkg, "keys", "curve25519_public"));
    const auto table = vector_table(sig);
    if (ed.size() != 32 || cv.size() != 32 || table.size() != verify::sign_hash_table_words)
        throw std::runtime_error("malformed vector keys");
    std::memcpy(keys.eddsa_public, ed.data(), 32);
    std::memcpy(keys.curve25519_public, cv.data(), 32);
    std::memcpy(keys.table, table.data(), sizeof keys.table);
    return keys;
}

bool build_has_vector_keys() {
    const verify::public_keys keys = package_vector_keys();
    const verify::public_keys& built = verify::builtin_keys();
    return std::memcmp(keys.eddsa_public, built.eddsa_public, 32) == 0 &&
           std::memcmp(keys.curve25519_public, built.curve25519_public, 32) == 0 &&
           std::memcmp(keys.table, built.table, sizeof keys.table) == 0;
}

}  // namespace test_vectors
