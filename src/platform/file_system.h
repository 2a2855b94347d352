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

// The base class is the POSIX one; a test derives from it.
class file_system {
public:
    virtual ~file_system() = default;

    // Calls that change something on disk.
    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t write(int fd, const void* data, size_t size);
    virtual int flush(int fd);  // fdatasync for a file, fsync for a directory
    virtual int rename(const char* from, const char* to);
    virtual int unlink(const char* path);
    virtual int link(const char* from, const char* to);
    virtual int symlink(const char* target, const char* path);
    virtual int mkdir(const char* path, mode_t mode);
    virtual int rmdir(const char* path);
    virtual int chmod(const char* path, mode_t mode);

    // Calls that only look.
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* data, size_t size);
    virtual int stat(const char* path, struct stat& st);
    virtual int fstat(int fd, struct stat& st);
    virtual int lstat(const char* path, struct stat& st);
    virtual int statfs(const char* path, struct statfs& fs);
    virtual DIR* opendir(const char* path);
    virtual dirent* readdir(DIR* dir);
    virtual int closedir(DIR* dir);
};

// The file system in use: the POSIX one unless a test set another (nullptr
// puts the POSIX one back).
file_system& disk();
void use_disk(file_system* replacement);

// Helpers over disk().
// Creates a new file "tmpXXXXXX" (prefix and six letters or digits) in
// directory (which ends without "/") with a name no file has, calling
// named(path) before the file is made so that a caller can note the name
// where a later run finds it. The descriptor, open for writing, or -1.
int create_temporary(const std::string& directory, std::string& path,
                     const std::function<void(const std::string&)>& named = nullptr, const char* prefix = "tmp");
// Flushes the content of the file or directory at path; true on success.
bool flush_path(const std::string& path);
// Writes all of data; false on an error or a short write (errno ENOSPC).
bool write_all(int fd, const char* data, std::size_t size);
