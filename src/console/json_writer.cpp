#include "console/json_writer.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the byte
// there starts none (a stray continuation byte, an overlong form, a
// surrogate, a value beyond U+10FFFF or a cut sequence).
std::size_t utf8_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    else return 0;
    if (lead == 0xE0) low = 0xA0;        // overlong three-byte forms
    else if (lead == 0xED) high = 0x9F;  // surrogates
    else if (lead == 0xF0) low = 0x90;   // overlong four-byte forms
    else if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            // DEL too: the document may well end up on a terminal.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

void json_writer::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!filled_.empty()) {
        if (filled_.back()) text_ += ',';
        filled_.back() = true;
    }
}

void json_writer::close(char bracket) {
    text_ += bracket;
    filled_.pop_back();
    if (filled_.empty()) text_ += '\n';
}

void json_writer::begin_object() {
    before_value();
    text_ += '{';
    filled_.push_back(false);
}

void json_writer::end_object() { close('}'); }

void json_writer::begin_array() {
    before_value();
    text_ += '[';
    filled_.push_back(false);
}

void json_writer::end_array() { close(']'); }

void json_writer::key(const std::string& name) {
    before_value();
    text_ += json_string(name);
    text_ += ':';
    after_key_ = true;
}

void json_writer::string(const std::string& text) {
    before_value();
    text_ += json_string(text);
}

void json_writer::number(std::uint64_t number) {
    before_value();
    text_ += std::to_string(number);
}

void json_writer::boolean(bool flag) {
    before_value();
    text_ += flag ? "true" : "false";
}

void json_writer::null() {
    before_value();
    text_ += "null";
}
