#include "manifest/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/hardware.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"

namespace {

// Length of the parent directory of path's first length bytes, as
// parent_dir gives it, or npos when that is "." (no slash to cut at).
std::size_t parent_length(const std::string& path, std::size_t length) {
    std::size_t end = length;
    while (end > 1 && path[end - 1] == '/') --end;
    if (end == 0) return std::string::npos;
    std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return std::string::npos;
    while (slash > 0 && path[slash - 1] == '/') --slash;
    return slash == 0 ? 1 : slash;
}

// mkdir of path's first length bytes: the prefix is cut off in place.
bool make_prefix(std::string& path, std::size_t length) {
    char saved = path[length];
    path[length] = '\0';
    bool made = disk().mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
    path[length] = saved;
    return made;
}

}  // namespace

spinner_state& spinner() {
    static spinner_state state;
    return state;
}

void advance_spinner() {
    static const char symbols[] = "|/-\\";
    spinner_state& state = spinner();
    if (state.last_tick == 0) {
        state.last_tick = platform::current_hardware().uptime_ticks();
        std::fputc(symbols[state.index & 3], stdout);
        state.index += 1;
        std::fflush(stdout);
        return;
    }
    if (platform::current_hardware().uptime_ticks() - state.last_tick <= 20) return;
    state.last_tick += 20;
    std::fputc('\b', stdout);
    std::fputc(symbols[state.index & 3], stdout);
    state.index += 1;
    if (state.index == 4) state.index = 0;
    std::fflush(stdout);
}

bool copy_file(const std::string& source, const std::string& destination, bool with_spinner) {
    // The source is checked on the descriptor that is read: a FIFO put in
    // its place cannot make the copy wait, nor a link lead elsewhere after
    // the check.
    struct stat st;
    int in = open_regular_file(source, st);
    if (in < 0) return false;
    int out = disk().open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[16384];
    while (true) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            ok = false;
            break;
        }
        if (with_spinner) advance_spinner();
    }
    ::close(in);
    if (disk().close(out) != 0) ok = false;
    return ok;
}

bool make_dirs(const std::string& path) {
    if (disk().mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
    if (path == "/" || path == ".") return false;
    // A loop over prefixes of one copy of the path: a path of many
    // components costs one length per missing directory, not a copy of its
    // parent per level. Climb to the nearest ancestor that exists or can be
    // made, then make the missing ones on the way back down.
    std::string buffer = path;
    std::vector<std::size_t> missing{path.size()};
    for (std::size_t length = path.size();;) {
        std::size_t parent = parent_length(path, length);
        if (parent == std::string::npos || parent >= length || make_prefix(buffer, parent)) break;
        missing.push_back(parent);
        length = parent;
    }
    bool made = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) made = make_prefix(buffer, *it);
    return made;
}

std::string parent_dir(const std::string& path) {
    std::size_t length = parent_length(path, path.size());
    return length == std::string::npos ? "." : path.substr(0, length);
}

bool is_clean_flash_path(const std::string& path) {
    const std::size_t root = std::string_view(flash_root).size() + 1;
    if (!is_below_flash(path) || path.size() == root) return false;
    if (path.find('\0') != std::string::npos) return false;
    std::size_t start = root;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string_view component(path.data() + start, end - start);
        if (component.empty() || component == "." || component == ".." || component.size() > NAME_MAX) return false;
        start = end + 1;
    }
    return true;
}

bool is_temporary_name(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() != 9 || name.compare(0, 3, "tmp") != 0) return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

bool is_in_memory(const std::string& path) {
    const std::string dir = parent_dir(path);
    return dir == ram_directory || dir == tmp_directory;
}
