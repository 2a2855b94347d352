// A file system for tests that counts the changing calls and can make the Nth fail with a chosen errno, or stop the
// run just before it as a kill does or as a power cut does: then whatever was not flushed is undone first (names
// changed in a directory that was not flushed since, content written to a file after its last flush, all of /ram).
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"

class crash_disk : public file_system {
public:
    enum class stop_as { kill, power_cut };
    static constexpr int stopped = 99;  // the exit status of a run stopped here

    long calls = 0;       // changing calls so far
    long fail_at = 0;     // this call fails with fail_errno (0: none)
    int fail_errno = 0;
    long stop_at = 0;     // the run ends before this call (0: never)
    stop_as stop = stop_as::kill;

    int open(const char* path, int flags, mode_t mode) override;
    ssize_t write(int fd, const void* data, size_t size) override;
    int flush(int fd) override;
    int rename(const char* from, const char* to) override;
    int unlink(const char* path) override;
    int link(const char* from, const char* to) override;
    int symlink(const char* target, const char* path) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int chmod(const char* path, mode_t mode) override;
    int close(int fd) override;

private:
    struct change {
        enum { made, renamed, unlinked, removed_dir, made_dir } what;
        std::string path, to = "", kept = "";  // renamed: from path to to; kept: the old file that went
    };
    using inode = std::pair<dev_t, ino_t>;
    bool next();  // counts a call; false when it is to fail
    void keep_old(const std::string& path, std::string& kept);
    void cut_power();
    std::vector<change> unflushed_;
    std::map<int, std::string> open_;
    std::map<inode, off_t> dirty_;  // size at the last flush
    int kept_ = 0;
};
