// The options of the qpk commands: given on the command line or in a
// description file ("key = value" lines, keys named like the long options).
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace qpk {

struct option_def {
    const char* name;
    bool takes_value;
    bool repeatable;
    bool is_path;  // relative to the description file that gives it
};

class command_line {
public:
    // The command's options are those of the tables.
    command_line(const char* command, std::FILE* err, std::initializer_list<std::span<const option_def>> tables);

    // "qpk COMMAND: message" and where to find the options; exit_usage.
    int usage_error(const std::string& message) const;

    // Parses the command's arguments (argv[2..]); positional arguments are
    // collected apart. The settings of a description file (-d) come before
    // the command line's own. Returns -1 to go on, or an exit status; -h and
    // --help print help to out.
    int parse(int argc, char** argv, std::vector<std::string>& positional, const char* help, std::FILE* out);

    bool has(const std::string& key) const { return values_.count(key) != 0; }
    std::string get(const std::string& key) const;
    std::vector<std::string> all(const std::string& key) const;
    bool flag(const std::string& key) const { return get(key) == "yes"; }

private:
    const option_def* find(const std::string& name) const;
    bool read_description_file(const std::string& path, std::string& error);
    void set(const option_def& def, const std::string& value);

    const char* command_;
    std::FILE* err_;
    std::vector<option_def> definitions_;
    std::map<std::string, std::vector<std::string>> values_;
};

// "qpk COMMAND: message" and where to find the options; exit_usage.
int usage_error(std::FILE* err, const char* command, const std::string& message);

// "qpk COMMAND: message"; exit_failure.
int failure(std::FILE* err, const char* command, const std::string& message);

// "qpk COMMAND: warning: message".
void warn(std::FILE* err, const char* command, const std::string& message);

// A decimal, octal (0...) or hexadecimal (0x...) number up to limit.
bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value);

// Writes data to path whole or not at all: through a temporary file next to
// it that is renamed over path once written.
bool write_file(const std::string& path, const std::string& data, std::string& error);

}  // namespace qpk
