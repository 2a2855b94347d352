#include "platform/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ext/stdio_filebuf.h>

#include "platform/file_system.h"

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

constexpr std::size_t write_block = 16384;

}  // namespace

int open_regular_file(const std::string& path, struct stat& st) {
    st = {};
    return keep_if_regular(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), st);
}

int open_regular_file_for_writing(const std::string& path, bool append) {
    // Without a reader a FIFO refuses a non-blocking open for writing
    // (ENXIO); with one, the check below turns it down.
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = disk().open(path.c_str(), flags, 0666);
    if (fd < 0) return -1;
    struct stat st;
    if (disk().fstat(fd, st) != 0 || !S_ISREG(st.st_mode)) {
        disk().close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

regular_istream::regular_istream(const std::string& path, std::size_t buffer_size) : std::istream(nullptr) {
    int fd = open_regular_file(path, status_);
    if (fd >= 0) buffer_ = std::make_unique<fd_buffer>(fd, std::ios::in | std::ios::binary, buffer_size);
    rdbuf(buffer_.get());
}

regular_istream::~regular_istream() = default;

class disk_ostream::buffer : public std::streambuf {
public:
    int fd = -1;
    bool failed = false;

    // Writes out what the buffer holds; false once any write failed.
    bool drain() {
        const std::size_t held = static_cast<std::size_t>(pptr() - pbase());
        if (held != 0 && !failed) failed = fd < 0 || !write_all(fd, pbase(), held);
        setp(data_.get(), data_.get() + (data_ ? write_block : 0));
        return !failed;
    }

protected:
    int_type overflow(int_type c) override {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            make_room();
            sputc(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        const auto room = static_cast<std::streamsize>(epptr() - pptr());
        if (n > room) {
            if (!drain()) return 0;
            // A large block goes out as it is, without a copy.
            if (n >= static_cast<std::streamsize>(write_block)) {
                failed = fd < 0 || !write_all(fd, s, static_cast<std::size_t>(n));
                return failed ? 0 : n;
            }
            make_room();
        }
        std::memcpy(pptr(), s, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }
    int sync() override { return drain() ? 0 : -1; }

private:
    // The block is made, uninitialised, at the first write that needs it: a
    // package of many empty or small files stages each through a stream.
    void make_room() {
        if (!data_) data_.reset(new char[write_block]);
        setp(data_.get(), data_.get() + write_block);
    }

    std::unique_ptr<char[]> data_;
};

disk_ostream::disk_ostream() : std::ostream(nullptr), buffer_(std::make_unique<buffer>()) {
    rdbuf(buffer_.get());
}

disk_ostream::~disk_ostream() {
    if (is_open()) close();
}

bool disk_ostream::is_open() const { return buffer_->fd >= 0; }

void disk_ostream::attach(int fd) {
    if (is_open()) close();
    clear();
    buffer_->fd = fd;
    buffer_->failed = false;
    if (fd < 0) setstate(std::ios::failbit);
}

void disk_ostream::close() {
    if (!is_open()) {
        setstate(std::ios::failbit);
        return;
    }
    bool closed = buffer_->drain();
    if (disk().close(buffer_->fd) != 0) closed = false;
    buffer_->fd = -1;
    if (!closed) setstate(std::ios::failbit);
}

regular_ostream::regular_ostream(const std::string& path, bool append) {
    attach(open_regular_file_for_writing(path, append));
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
