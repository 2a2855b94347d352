// A small writer of JSON documents for the machine-readable output of the
// query options. Names, notes and paths come from package files and may hold
// any byte: every string is written as valid UTF-8 JSON whatever it holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class json_writer {
public:
    // Containers; a value inside an object is preceded by key().
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    void key(const std::string& name);

    void string(const std::string& text);
    void number(std::uint64_t number);
    void boolean(bool flag);
    void null();

    // The document so far, with a line end once the outermost container is closed.
    const std::string& text() const { return text_; }

private:
    void before_value();
    void close(char bracket);

    std::string text_;
    // Per open container: whether it holds a value yet.
    std::vector<bool> filled_;
    bool after_key_ = false;
};

// text as a JSON string literal, quotes included: quote, backslash and the
// control bytes escaped, and each byte that is not part of a well-formed
// UTF-8 sequence replaced by U+FFFD.
std::string json_string(const std::string& text);
