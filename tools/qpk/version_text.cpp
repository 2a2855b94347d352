#include "qpk/version_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resolve/version.h"

namespace qpk {

namespace {

// A decimal number 0-255 at text[pos]; advances pos.
bool take_byte(const std::string& text, std::size_t& pos, unsigned& value) {
    std::size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        if (value > 255) return false;
        ++pos;
    }
    return pos > start;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

bool parse_bound(const std::string& text, std::uint32_t& bound) {
    if (text.empty() || text == "0") {
        bound = 0;
        return true;
    }
    return parse_version_text(text, bound);
}

}  // namespace

bool parse_version_text(const std::string& text, std::uint32_t& version) {
    std::size_t pos = 0;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned number = 0;
    char kind = 'f';
    if (!take_byte(text, pos, major) || pos >= text.size() || text[pos] != '.') return false;
    ++pos;
    if (!take_byte(text, pos, minor)) return false;
    if (pos < text.size()) {
        static const struct {
            const char* word;
            char kind;
        } kinds[] = {{"alpha", 'a'}, {"beta", 'b'}, {"rc", 'c'}};
        bool found = false;
        if (text[pos] == '.') {
            ++pos;
            if (!take_byte(text, pos, number)) return false;
            found = true;
        } else {
            for (const auto& k : kinds) {
                std::size_t length = std::strlen(k.word);
                if (text.compare(pos, length, k.word) == 0) {
                    pos += length;
                    kind = k.kind;
                    if (pos < text.size() && !take_byte(text, pos, number)) return false;
                    found = true;
                    break;
                }
            }
        }
        if (!found || pos != text.size()) return false;
    }
    version = make_version(major, minor, kind, number);
    return true;
}

bool parse_requirement_text(const std::string& text, requirement& req, std::string& error) {
    std::vector<std::string> fields = split(text, ':');
    if (fields.size() > 4) {
        error = "too many fields in requirement \"" + text + "\"";
        return false;
    }
    req = requirement{};
    req.name = fields[0];
    if (req.name.empty() || req.name.size() > 16) {
        error = "requirement name must have 1 to 16 characters: \"" + text + "\"";
        return false;
    }
    if (fields.size() > 1 && !parse_bound(fields[1], req.minimum)) {
        error = "bad minimum version \"" + fields[1] + "\"";
        return false;
    }
    if (fields.size() > 2 && !parse_bound(fields[2], req.maximum)) {
        error = "bad maximum version \"" + fields[2] + "\"";
        return false;
    }
    if (fields.size() > 3) {
        const std::string& field = fields[3];
        char* end = nullptr;
        errno = 0;
        long value = std::strtol(field.c_str(), &end, 10);
        if (field.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
            error = "bad precedence \"" + field + "\"";
            return false;
        }
        req.precedence = static_cast<std::int32_t>(value);
    }
    return true;
}

}  // namespace qpk
