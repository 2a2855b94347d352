#include "platform/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ext/stdio_filebuf.h>

namespace {

using fd_buffer = __gnu_cxx::stdio_filebuf<char>;

// The descriptor when it refers to a regular file; closed otherwise. O_NONBLOCK
// makes the open of a FIFO return at once; on a regular file it changes nothing.
int keep_if_regular(int fd, struct stat& st) {
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

int open_regular_file(const std::string& path, struct stat& st) {
    st = {};
    return keep_if_regular(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), st);
}

int open_regular_file_for_writing(const std::string& path, bool append) {
    // Without a reader a FIFO refuses a non-blocking open for writing
    // (ENXIO); with one, the check below turns it down.
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    struct stat st;
    return keep_if_regular(::open(path.c_str(), flags, 0666), st);
}

regular_istream::regular_istream(const std::string& path, std::size_t buffer_size) : std::istream(nullptr) {
    int fd = open_regular_file(path, status_);
    if (fd >= 0) buffer_ = std::make_unique<fd_buffer>(fd, std::ios::in | std::ios::binary, buffer_size);
    rdbuf(buffer_.get());
}

regular_istream::~regular_istream() = default;

regular_ostream::regular_ostream(const std::string& path, bool append) : std::ostream(nullptr) {
    int fd = open_regular_file_for_writing(path, append);
    if (fd >= 0)
        buffer_ = std::make_unique<fd_buffer>(fd, (append ? std::ios::app : std::ios::trunc) | std::ios::out |
                                                      std::ios::binary);
    rdbuf(buffer_.get());
}

regular_ostream::~regular_ostream() {
    // The buffer is flushed while the stream still uses it.
    if (buffer_) flush();
}

small_file_result read_small_file(const std::string& path, std::size_t cap, std::string& text) {
    text.clear();
    struct stat st;
    int fd = open_regular_file(path, st);
    if (fd < 0) return small_file_result::missing;
    small_file_result result = small_file_result::read;
    if (static_cast<std::uint64_t>(st.st_size) > cap) {
        result = small_file_result::unreadable;
    } else {
        text.reserve(static_cast<std::size_t>(st.st_size));
        // The file may still grow after fstat: the cap holds for what is read.
        char chunk[16384];
        while (true) {
            ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got == 0) break;
            if (got < 0 || text.size() + static_cast<std::size_t>(got) > cap) {
                result = small_file_result::unreadable;
                text.clear();
                break;
            }
            text.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return result;
}
