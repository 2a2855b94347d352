// A file system that changes nothing, for a run that only shows what it
// would do. Every changing call succeeds without touching the disk, and what
// it would have made is remembered, so that the run reads back what it staged
// as the real run would: a file it made exists with the size written to it
// and its mode, takes its room from its file system, and goes again when it
// is unlinked or renamed; a real file it unlinked or renamed is gone. The
// content of made files is not kept (no run reads back what it staged before
// it applies it), directories listed show the disk as it is, and links and
// directories made are not remembered.
#pragma once

#include <map>
#include <string>

#include "platform/file_system.h"

class dry_run_disk : public file_system {
public:
    dry_run_disk() = default;
    ~dry_run_disk() override;  // closes what a run left open
    dry_run_disk(const dry_run_disk&) = delete;
    dry_run_disk& operator=(const dry_run_disk&) = delete;

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
    ssize_t read(int fd, void* data, size_t size) override;
    int stat(const char* path, struct stat& st) override;
    int fstat(int fd, struct stat& st) override;
    int lstat(const char* path, struct stat& st) override;
    int statfs(const char* path, struct statfs& fs) override;

private:
    struct made_file {
        struct stat st;      // as stat would answer for it
        off_t replaced = 0;  // the size of the file on disk that it stands in for
    };
    struct gone_file {
        dev_t dev = 0;
        off_t size = 0;  // on disk; 0 for a path that only the run had made
    };
    // What a path is for the run: made (held here), gone, or as on disk.
    const made_file* made(const std::string& path) const;
    bool gone(const std::string& path) const { return gone_.count(path) != 0; }
    // The run's view of path; -1 with errno when it is not there.
    int look(const std::string& path, struct stat& st, bool follow);
    // A file made at path in place of what the run saw there.
    made_file& make(const std::string& path, const struct stat& like);
    // Takes path away from the run's view.
    void take_away(const std::string& path, const struct stat& st);

    std::map<std::string, made_file> made_;
    std::map<std::string, gone_file> gone_;
    std::map<int, std::string> open_;  // descriptors handed out on made files
    ino_t next_inode_ = 1;
};
