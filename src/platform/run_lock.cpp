#include "platform/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr unsigned retry_milliseconds = 100;

void pause_a_moment() {
    timespec step{0, static_cast<long>(retry_milliseconds) * 1000000L};
    while (::nanosleep(&step, &step) != 0 && errno == EINTR) {
    }
}

// Whether fd still is the file at path: the holder before deletes the file
// before it lets go, so a lock taken on a file that was deleted meanwhile
// guards nothing, and the next run would make a new file and lock that.
bool still_at_path(int fd, const std::string& path) {
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

run_lock::~run_lock() { release(); }

bool run_lock::acquire(const std::string& path, unsigned wait_milliseconds) {
    return take(path, wait_milliseconds, false);
}

bool run_lock::share(const std::string& path, unsigned wait_milliseconds) {
    return take(path, wait_milliseconds, true);
}

bool run_lock::take(const std::string& path, unsigned wait_milliseconds, bool shared) {
    release();
    busy_ = false;
    for (unsigned waited = 0;; waited += retry_milliseconds) {
        // A reader never makes the file: where there is none, no run is at work.
        const int fd = shared ? ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                              : ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) return shared && errno == ENOENT;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return false;
        }
        const bool locked = ::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
        const int error = errno;
        if (locked) {
            if (still_at_path(fd, path)) {
                fd_ = fd;
                path_ = path;
                shared_ = shared;
                return true;
            }
            ::close(fd);
            continue;  // the holder deleted it on its way out: try the new one at once
        }
        ::close(fd);
        busy_ = error == EWOULDBLOCK;
        if (!busy_ || waited >= wait_milliseconds) return false;
        pause_a_moment();
    }
}

void run_lock::release() {
    if (fd_ < 0) return;
    if (!shared_) ::unlink(path_.c_str());
    shared_ = false;
    ::close(fd_);
    fd_ = -1;
}
