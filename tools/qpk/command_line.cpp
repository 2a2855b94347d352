#include "qpk/command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "qpk/exit_status.h"

namespace qpk {

namespace {

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

int usage_error(std::FILE* err, const char* command, const std::string& message) {
    std::fprintf(err, "qpk %s: %s\nRun \"qpk %s --help\" for its options.\n", command, message.c_str(), command);
    return exit_usage;
}

int failure(std::FILE* err, const char* command, const std::string& message) {
    std::fprintf(err, "qpk %s: %s\n", command, message.c_str());
    return exit_failure;
}

void warn(std::FILE* err, const char* command, const std::string& message) {
    std::fprintf(err, "qpk %s: warning: %s\n", command, message.c_str());
}

int command_line::usage_error(const std::string& message) const { return qpk::usage_error(err_, command_, message); }

command_line::command_line(const char* command, std::FILE* err,
                           std::initializer_list<std::span<const option_def>> tables)
    : command_(command), err_(err) {
    for (std::span<const option_def> table : tables) definitions_.insert(definitions_.end(), table.begin(), table.end());
}

const option_def* command_line::find(const std::string& name) const {
    for (const option_def& def : definitions_)
        if (name == def.name) return &def;
    return nullptr;
}

std::string command_line::get(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> command_line::all(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

void command_line::set(const option_def& def, const std::string& value) {
    std::vector<std::string>& slot = values_[def.name];
    if (!def.repeatable) slot.clear();
    slot.push_back(value);
}

bool command_line::read_description_file(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string base;
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) base = path.substr(0, slash + 1);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string where = path + ":" + std::to_string(number) + ": ";
        std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        std::size_t equals = text.find('=');
        std::string key = trim(text.substr(0, equals));
        std::string value = equals == std::string::npos ? "" : trim(text.substr(equals + 1));
        const option_def* def = find(key);
        if (!def || key == "description") {
            error = where + "unknown key \"" + key + "\"";
            return false;
        }
        if (def->takes_value && equals == std::string::npos) {
            error = where + "\"" + key + "\" needs \"= value\"";
            return false;
        }
        if (!def->takes_value) {
            if (equals == std::string::npos || value == "yes" || value == "true" || value == "1")
                value = "yes";
            else if (value == "no" || value == "false" || value == "0")
                value = "no";
            else {
                error = where + "\"" + key + "\" takes yes or no";
                return false;
            }
        }
        if (def->is_path && !value.empty() && value[0] != '/') value = base + value;
        set(*def, value);
    }
    return true;
}

int command_line::parse(int argc, char** argv, std::vector<std::string>& positional, const char* help, std::FILE* out) {
    std::vector<std::pair<const option_def*, std::string>> given;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(help, out);
            return exit_ok;
        }
        if (arg == "--") {
            for (++i; i < argc; ++i) positional.push_back(argv[i]);
            break;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::string name;
            std::string value;
            bool has_value = false;
            if (arg == "-o") {
                name = "output";
            } else if (arg == "-d") {
                name = "description";
            } else if (arg.rfind("--", 0) == 0) {
                name = arg.substr(2);
                std::size_t equals = name.find('=');
                if (equals != std::string::npos) {
                    value = name.substr(equals + 1);
                    name = name.substr(0, equals);
                    has_value = true;
                }
            } else {
                return usage_error("unknown option " + arg);
            }
            const option_def* def = find(name);
            if (!def || (name == "member" || name == "directory")) return usage_error("unknown option " + arg);
            if (def->takes_value && !has_value) {
                if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
                value = argv[++i];
            } else if (!def->takes_value) {
                if (has_value) return usage_error("option --" + name + " takes no value");
                value = "yes";
            }
            given.emplace_back(def, value);
        } else {
            positional.push_back(arg);
        }
    }
    for (const auto& [def, value] : given) {
        if (std::string(def->name) != "description") continue;
        std::string error;
        if (!read_description_file(value, error)) {
            std::fprintf(err_, "qpk %s: %s\n", command_, error.c_str());
            return exit_failure;
        }
    }
    // The command line's scalars replace what the file said.
    std::map<std::string, bool> replaced;
    for (const auto& [def, value] : given) {
        if (!def->repeatable && !replaced[def->name]) {
            values_.erase(def->name);
            replaced[def->name] = true;
        }
        set(*def, value);
    }
    return -1;
}

bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || parsed > limit) return false;
    value = parsed;
    return true;
}

bool write_file(const std::string& path, const std::string& data, std::string& error) {
    std::string temporary = path + ".tmpXXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The mode a new file gets from the umask, not mkstemp's owner-only one.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
    for (std::size_t done = 0; ok && done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace qpk
