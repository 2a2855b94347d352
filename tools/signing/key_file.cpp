#include "signing/key_file.h"

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace signing {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_bytes(const std::string& hex, std::uint8_t* out, std::size_t n) {
    if (hex.size() != 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = hex_digit(hex[2 * i]);
        const int lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool parse_table(const std::string& text, std::uint32_t* table) {
    std::istringstream words(text);
    std::string word;
    std::size_t count = 0;
    while (words >> word) {
        if (count == verify::sign_hash_table_words || word.size() != 8) return false;
        std::uint32_t value = 0;
        for (char c : word) {
            const int d = hex_digit(c);
            if (d < 0) return false;
            value = value << 4 | static_cast<std::uint32_t>(d);
        }
        table[count++] = value;
    }
    return count == verify::sign_hash_table_words;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Splits the text into name -> value, accepting only the given names and
// requiring all of them.
bool split_lines(const std::string& text, const std::vector<std::string>& names,
                 std::map<std::string, std::string>& values, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            error = "line " + std::to_string(number) + ": not a name=hex line";
            return false;
        }
        const std::string name = trim(line.substr(0, eq));
        bool known = false;
        for (const auto& n : names) known = known || n == name;
        if (!known) {
            error = "line " + std::to_string(number) + ": unknown key '" + name + "'";
            return false;
        }
        if (values.count(name) != 0) {
            error = "line " + std::to_string(number) + ": '" + name + "' given twice";
            return false;
        }
        values[name] = trim(line.substr(eq + 1));
    }
    for (const auto& n : names) {
        if (values.count(n) == 0) {
            error = "'" + n + "' missing";
            return false;
        }
    }
    return true;
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

std::string hex(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string table_text(const std::uint32_t* table) {
    std::string out;
    for (std::size_t i = 0; i < verify::sign_hash_table_words; ++i) {
        std::uint8_t word[4] = {static_cast<std::uint8_t>(table[i] >> 24), static_cast<std::uint8_t>(table[i] >> 16),
                                static_cast<std::uint8_t>(table[i] >> 8), static_cast<std::uint8_t>(table[i])};
        if (i != 0) out += ' ';
        out += hex(word, 4);
    }
    return out;
}

}  // namespace

bool parse_public_keys(const std::string& text, verify::public_keys& keys, std::string& error) {
    std::map<std::string, std::string> values;
    if (!split_lines(text, {"eddsa_public", "curve25519_public", "table"}, values, error)) return false;
    if (!parse_bytes(values["eddsa_public"], keys.eddsa_public, 32)) {
        error = "eddsa_public must be 32 bytes of hex";
        return false;
    }
    if (!parse_bytes(values["curve25519_public"], keys.curve25519_public, 32)) {
        error = "curve25519_public must be 32 bytes of hex";
        return false;
    }
    if (!parse_table(values["table"], keys.table)) {
        error = "table must be 72 words of 8 hex digits";
        return false;
    }
    return true;
}

bool parse_private_keys(const std::string& text, private_keys& keys, std::string& error) {
    std::map<std::string, std::string> values;
    if (!split_lines(text, {"eddsa_private_seed", "curve25519_private", "table"}, values, error)) return false;
    if (!parse_bytes(values["eddsa_private_seed"], keys.eddsa_seed, 32)) {
        error = "eddsa_private_seed must be 32 bytes of hex";
        return false;
    }
    if (!parse_bytes(values["curve25519_private"], keys.curve25519_private, 32)) {
        error = "curve25519_private must be 32 bytes of hex";
        return false;
    }
    if (!parse_table(values["table"], keys.table)) {
        error = "table must be 72 words of 8 hex digits";
        return false;
    }
    return true;
}

bool read_public_key_file(const std::string& path, verify::public_keys& keys, std::string& error) {
    std::string text;
    if (!read_file(path, text, error)) return false;
    if (!parse_public_keys(text, keys, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool read_private_key_file(const std::string& path, private_keys& keys, std::string& error) {
    std::string text;
    if (!read_file(path, text, error)) return false;
    if (!parse_private_keys(text, keys, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool read_key_file_table(const std::string& path, std::uint32_t table[verify::sign_hash_table_words],
                         std::string& error) {
    std::string text;
    if (!read_file(path, text, error)) return false;
    verify::public_keys pub;
    if (parse_public_keys(text, pub, error)) {
        std::memcpy(table, pub.table, sizeof pub.table);
        return true;
    }
    private_keys priv;
    if (parse_private_keys(text, priv, error)) {
        std::memcpy(table, priv.table, sizeof priv.table);
        return true;
    }
    error = path + ": neither a public nor a private key file";
    return false;
}

std::string format_public_keys(const verify::public_keys& keys) {
    return "eddsa_public=" + hex(keys.eddsa_public, 32) + "\ncurve25519_public=" +
           hex(keys.curve25519_public, 32) + "\ntable=" + table_text(keys.table) + "\n";
}

std::string format_private_keys(const private_keys& keys) {
    return "eddsa_private_seed=" + hex(keys.eddsa_seed, 32) + "\ncurve25519_private=" +
           hex(keys.curve25519_private, 32) + "\ntable=" + table_text(keys.table) + "\n";
}

}  // namespace signing
