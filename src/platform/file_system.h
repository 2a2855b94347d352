// The calls that the file manifest, the store and the entry make on the file
// system, behind one small interface. The program uses the POSIX one; a test
// puts another in its place to count the changing calls, to make one of
// them fail, or to stop the run there as a kill or a power cut would.
// Results and errno are those of the system calls.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <functional>
#include <string>

class file_system {
public:
    virtual ~file_system() = default;

    // Calls that change something on disk.
    virtual int open(const char* path, int flags, mode_t mode) = 0;
    virtual ssize_t write(int fd, const void* data, size_t size) = 0;
    virtual int flush(int fd) = 0;  // fdatasync for a file, fsync for a directory
    virtual int rename(const char* from, const char* to) = 0;
    virtual int unlink(const char* path) = 0;
    virtual int link(const char* from, const char* to) = 0;
    virtual int symlink(const char* target, const char* path) = 0;
    virtual int mkdir(const char* path, mode_t mode) = 0;
    virtual int rmdir(const char* path) = 0;
    virtual int chmod(const char* path, mode_t mode) = 0;

    // Calls that only look.
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* data, size_t size) = 0;
    virtual int stat(const char* path, struct stat& st) = 0;
    virtual int lstat(const char* path, struct stat& st) = 0;
    virtual int statfs(const char* path, struct statfs& fs) = 0;
    virtual DIR* opendir(const char* path) = 0;
    virtual dirent* readdir(DIR* dir) = 0;
    virtual int closedir(DIR* dir) = 0;
};

class posix_file_system : public file_system {
public:
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
    int lstat(const char* path, struct stat& st) override;
    int statfs(const char* path, struct statfs& fs) override;
    DIR* opendir(const char* path) override;
    dirent* readdir(DIR* dir) override;
    int closedir(DIR* dir) override;
};

// The file system in use: the POSIX one unless a test set another (nullptr
// puts the POSIX one back).
file_system& disk();
void use_disk(file_system* replacement);

// Helpers over disk().
// Creates a new file "tmpXXXXXX" in directory (which ends without "/") with
// a name no file has, calling named(path) before the file is made so that a
// caller can note the name where a later run finds it. The descriptor, open
// for writing, or -1.
int create_temporary(const std::string& directory, std::string& path,
                     const std::function<void(const std::string&)>& named = nullptr);
// Flushes the content of the file or directory at path; true on success.
bool flush_path(const std::string& path);
// Writes all of data; false on an error or a short write (errno ENOSPC).
bool write_all(int fd, const char* data, std::size_t size);
