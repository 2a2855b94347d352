#include "verify/vectors.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "stream/package_bytes.h"

namespace test_vectors {

const std::string& vector_record::at(const std::string& key) const {
    if (!has(key)) throw std::runtime_error("no field " + key + " in: " + line);
    return fields.at(key);
}

vector_file load_vectors(const std::string& name) {
    std::ifstream in(std::string(VECTORS_DIR) + "/" + name);
    if (!in) throw std::runtime_error("cannot read the vectors " + name);
    vector_file file;
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        vector_record record{line, {}, {}};
        std::istringstream words(line);
        std::string key;
        for (std::string word; words >> word;) {
            if (const auto eq = word.find('='); eq != std::string::npos) record.fields[key = word.substr(0, eq)] = word.substr(eq + 1);
            else if (!key.empty()) record.fields[key] += " " + word;
            else record.words.push_back(word);
        }
        file[section].push_back(record);
    }
    return file;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    const std::string bytes = test_bytes::from_hex(hex);
    return {bytes.begin(), bytes.end()};
}

std::string to_hex(const std::uint8_t* data, std::size_t n) { return test_bytes::to_hex(data, n); }

std::vector<std::uint32_t> vector_table(const vector_file& f) {
    std::vector<std::uint32_t> table;
    for (const auto& record : f.at("table"))
        for (const auto& w : record.words) table.push_back(static_cast<std::uint32_t>(std::stoul(w, nullptr, 16)));
    return table;
}

const std::string& section_field(const vector_file& f, const std::string& section, const std::string& key) {
    for (const auto& record : f.at(section))
        if (record.has(key)) return record.at(key);
    throw std::runtime_error("no " + key + " in [" + section + "]");
}

verify::public_keys package_vector_keys() {
    const auto pkg = load_vectors("packages.txt");
    const auto ed = from_hex(section_field(pkg, "keys", "eddsa_public")), cv = from_hex(section_field(pkg, "keys", "curve25519_public"));
    const auto table = vector_table(load_vectors("signature.txt"));
    if (ed.size() != 32 || cv.size() != 32 || table.size() != verify::sign_hash_table_words) throw std::runtime_error("malformed vector keys");
    verify::public_keys keys{};
    std::memcpy(keys.eddsa_public, ed.data(), 32);
    std::memcpy(keys.curve25519_public, cv.data(), 32);
    std::memcpy(keys.table, table.data(), sizeof keys.table);
    return keys;
}

bool build_has_vector_keys() {
    const verify::public_keys keys = package_vector_keys();
    return std::memcmp(&keys, &verify::builtin_keys(), sizeof keys) == 0;
}

}  // namespace test_vectors
