#include "manifest/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

namespace {

std::uint32_t (*uptime_source)() = nullptr;

bool write_all(int fd, const char* data, ssize_t size) {
    while (true) {
        ssize_t written = ::write(fd, data, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR) continue;
        // A short write to a regular file leaves errno as it was; it means
        // the file system is full, and a caller that reports the failure
        // should say so rather than repeat an older error.
        if (written >= 0 && written < size) errno = ENOSPC;
        return written == size;
    }
}

}  // namespace

spinner_state& spinner() {
    static spinner_state state;
    return state;
}

void set_uptime_source_for_testing(std::uint32_t (*source)()) { uptime_source = source; }

std::uint32_t uptime_ticks() {
    if (uptime_source) return uptime_source();
    // times() with a null buffer gives the kernel's tick counter, which
    // starts 300 seconds below zero.
    long ticks = ::syscall(SYS_times, nullptr);
    if (ticks == -1) return static_cast<std::uint32_t>(30000 - errno);
    return static_cast<std::uint32_t>(ticks) + 30000;
}

void advance_spinner() {
    static const char symbols[] = "|/-\\";
    spinner_state& state = spinner();
    if (state.last_tick == 0) {
        state.last_tick = uptime_ticks();
        std::fputc(symbols[state.index & 3], stdout);
        state.index += 1;
        std::fflush(stdout);
        return;
    }
    if (uptime_ticks() - state.last_tick <= 20) return;
    state.last_tick += 20;
    std::fputc('\b', stdout);
    std::fputc(symbols[state.index & 3], stdout);
    state.index += 1;
    if (state.index == 4) state.index = 0;
    std::fflush(stdout);
}

bool copy_file(const std::string& source, const std::string& destination, bool with_spinner) {
    struct stat st;
    if (::stat(source.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
    int in = ::open(source.c_str(), O_RDONLY);
    if (out < 0) {
        if (in >= 0) ::close(in);
        return false;
    }
    if (in < 0) {
        ::close(out);
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
        if (!write_all(out, buffer, got)) {
            ok = false;
            break;
        }
        if (with_spinner) advance_spinner();
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    return ok;
}

bool make_dirs(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
    if (path == "/" || path == ".") return false;
    make_dirs(parent_dir(path));
    return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

std::string parent_dir(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    if (end == 0) return ".";
    std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return ".";
    while (slash > 0 && path[slash - 1] == '/') --slash;
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool is_clean_flash_path(const std::string& path) {
    static const std::string root = "/flash/";
    if (path.compare(0, root.size(), root) != 0 || path.size() == root.size()) return false;
    if (path.find('\0') != std::string::npos) return false;
    std::size_t start = root.size();
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string_view component(path.data() + start, end - start);
        if (component.empty() || component == "." || component == "..") return false;
        start = end + 1;
    }
    return true;
}
