// Checks made inside a forked child (run_in_child, run_in_private_mounts)
// cannot reach the test framework of the parent. They print what failed on
// standard error and count it; the child's exit status carries the result,
// and the parent asserts on it with the captured standard error as reason.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

class child_checks {
public:
    bool check(bool ok, const char* what, const char* file, int line) {
        if (!ok) fail(std::string(what), file, line);
        return ok;
    }

    template <class A, class B>
    bool check_eq(const A& actual, const B& expected, const char* what, const char* file, int line) {
        bool ok = actual == expected;
        if (!ok) {
            std::ostringstream text;
            text << what << "\n    actual:   [" << printable(actual) << "]\n    expected: [" << printable(expected)
                 << "]";
            fail(text.str(), file, line);
        }
        return ok;
    }

    // Exit status of the child: 0 when every check held.
    int status() const { return failures_ == 0 ? 0 : 1; }

private:
    template <class T>
    static std::string printable(const T& value) {
        std::ostringstream raw;
        raw << value;
        std::string out;
        for (unsigned char c : raw.str()) {
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char code[8];
                std::snprintf(code, sizeof code, "\\x%02x", c);
                out += code;
            }
        }
        return out;
    }

    void fail(const std::string& text, const char* file, int line) {
        ++failures_;
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, text.c_str());
    }

    int failures_ = 0;
};

#define CHILD_CHECK(checks, cond) (checks).check((cond), #cond, __FILE__, __LINE__)
#define CHILD_CHECK_EQ(checks, actual, expected) \
    (checks).check_eq((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
