#include "verify/vectors.h"

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

}  // namespace test_vectors
