#include "main/own_root.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

bool write_control_file(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t written = ::write(fd, text.data(), text.size());
    const bool closed = ::close(fd) == 0;
    return closed && written == static_cast<ssize_t>(text.size());
}

bool enter_namespace_and_chroot(const std::string& root) {
    // The ids must be read before: inside, until the maps are written, they
    // read as the overflow id.
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    // An unprivileged process may map its group only once it has given up
    // setgroups; kernels without the control file do not ask for that.
    if (!write_control_file("/proc/self/setgroups", "deny") && errno != ENOENT) return false;
    return write_control_file("/proc/self/uid_map", "0 " + uid + " 1\n") &&
           write_control_file("/proc/self/gid_map", "0 " + gid + " 1\n") && ::chroot(root.c_str()) == 0;
}

}  // namespace

bool chroot_as_own_root(const std::string& root) {
    const int refused = errno;
    if (enter_namespace_and_chroot(root)) return true;
    errno = refused;
    return false;
}
