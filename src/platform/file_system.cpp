#include "platform/file_system.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

file_system* replaced = nullptr;

// Six letters or digits as mkstemp puts them in place of "XXXXXX".
std::string random_suffix() {
    static const char symbols[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::uint64_t state = 0;
    if (state == 0) {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        state = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                (static_cast<std::uint64_t>(::getpid()) << 40) ^ 0x9E3779B97F4A7C15u;
    }
    // xorshift64: enough to spread names; uniqueness comes from O_EXCL.
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::string suffix(6, 'X');
    std::uint64_t bits = state;
    for (char& c : suffix) {
        c = symbols[bits % 62];
        bits /= 62;
    }
    return suffix;
}

}  // namespace

int file_system::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t file_system::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int file_system::flush(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return ::fsync(fd);
    return ::fdatasync(fd);
}
int file_system::rename(const char* from, const char* to) { return ::rename(from, to); }
int file_system::unlink(const char* path) { return ::unlink(path); }
int file_system::link(const char* from, const char* to) { return ::link(from, to); }
int file_system::symlink(const char* target, const char* path) { return ::symlink(target, path); }
int file_system::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int file_system::rmdir(const char* path) { return ::rmdir(path); }
int file_system::chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int file_system::close(int fd) { return ::close(fd); }
ssize_t file_system::read(int fd, void* data, size_t size) { return ::read(fd, data, size); }
int file_system::stat(const char* path, struct stat& st) { return ::stat(path, &st); }
int file_system::fstat(int fd, struct stat& st) { return ::fstat(fd, &st); }
int file_system::lstat(const char* path, struct stat& st) { return ::lstat(path, &st); }
int file_system::statfs(const char* path, struct statfs& fs) { return ::statfs(path, &fs); }
DIR* file_system::opendir(const char* path) { return ::opendir(path); }
dirent* file_system::readdir(DIR* dir) { return ::readdir(dir); }
int file_system::closedir(DIR* dir) { return ::closedir(dir); }

file_system& disk() {
    static file_system posix;
    return replaced ? *replaced : posix;
}

void use_disk(file_system* replacement) { replaced = replacement; }

int create_temporary(const std::string& directory, std::string& path,
                     const std::function<void(const std::string&)>& named, const char* prefix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = directory + "/" + prefix + random_suffix();
        if (named) named(path);
        int fd = disk().open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool flush_path(const std::string& path) {
    int fd = disk().open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    bool flushed = disk().flush(fd) == 0;
    disk().close(fd);
    return flushed;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size != 0) {
        ssize_t written = disk().write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            // A regular file that takes nothing more is full.
            if (written == 0) errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
