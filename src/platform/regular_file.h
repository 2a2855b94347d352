// Opening the files that other tools leave for the program (meta, state and
// schedule files, saved manifests, logs, package files). Such a path may
// hold anything: a FIFO that no one ever writes to would make a plain open
// or read wait for ever, and a device such as /dev/zero never ends. So every
// file is opened without waiting, checked on the open descriptor itself, and
// read only when it is a regular file; there is no window between the check
// and the read in which the path could be swapped.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

// Opens path read-only without waiting. The descriptor, or -1 when the path
// cannot be opened or is no regular file (then st.st_mode tells what it is,
// or is 0 when nothing could be opened). st receives the file's status.
int open_regular_file(const std::string& path, struct stat& st);

// Opens path for writing without waiting, creating it (mode 0666 less the
// umask) and either truncating it or appending to it. -1 when it cannot be
// opened or is no regular file.
int open_regular_file_for_writing(const std::string& path, bool append);

// An input stream on a regular file, opened as above; not open, with its
// fail bit set, when the path is missing, unreadable or no regular file.
class regular_istream : public std::istream {
public:
    // buffer_size: bytes read from the file at a time. Small suits reading a
    // description and seeking over the rest; a whole package read through
    // wants fewer, larger reads.
    explicit regular_istream(const std::string& path, std::size_t buffer_size = BUFSIZ);
    ~regular_istream() override;
    regular_istream(const regular_istream&) = delete;
    regular_istream& operator=(const regular_istream&) = delete;

    bool is_open() const { return buffer_ != nullptr; }
    // The file's size and identity when it was opened.
    const struct stat& status() const { return status_; }

private:
    std::unique_ptr<std::streambuf> buffer_;
    struct stat status_ {};
};

// An output stream on a descriptor, written through disk() in blocks, so
// that whatever stands in for the file system sees every byte a run writes.
class disk_ostream : public std::ostream {
public:
    disk_ostream();
    ~disk_ostream() override;  // flushes and closes
    disk_ostream(const disk_ostream&) = delete;
    disk_ostream& operator=(const disk_ostream&) = delete;

    bool is_open() const;
    // Writes to fd from now on, and closes it in the end; -1 leaves the
    // stream closed with its fail bit set.
    void attach(int fd);
    // Flushes and closes; the fail bit is set when that or an earlier write
    // failed, or when nothing was open.
    void close();

private:
    class buffer;
    std::unique_ptr<buffer> buffer_;
};

// An output stream on a regular file, opened as above.
class regular_ostream : public disk_ostream {
public:
    regular_ostream(const std::string& path, bool append);
};

enum class small_file_result {
    read,        // text holds the whole file
    missing,     // cannot be opened, or no regular file: as if it did not exist
    unreadable,  // a regular file that is larger than the cap or fails to read
};

// Reads a whole file of at most cap bytes into text (emptied otherwise).
small_file_result read_small_file(const std::string& path, std::size_t cap, std::string& text);
