#include "support/crash_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "manifest/file_helpers.h"

namespace {

const char* const kept_dir = "/.kept";

bool is_file(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

bool crash_disk::next() {
    ++calls;
    if (calls == stop_at) {
        if (stop == stop_as::power_cut) cut_power();
        ::_exit(stopped);
    }
    if (calls != fail_at) return true;
    errno = fail_errno;
    return false;
}

void crash_disk::keep_old(const std::string& path, std::string& kept) {
    if (stop != stop_as::power_cut || !is_file(path)) return;
    ::mkdir(kept_dir, 0700);
    kept = std::string(kept_dir) + "/" + std::to_string(++kept_);
    ::link(path.c_str(), kept.c_str());
}

int crash_disk::open(const char* path, int flags, mode_t mode) {
    const bool writing = (flags & O_ACCMODE) != O_RDONLY, made = (flags & O_CREAT) && !is_file(path);
    if ((writing || (flags & O_CREAT)) && !next()) return -1;
    const int fd = file_system::open(path, flags, mode);
    if (fd < 0) return fd;
    open_[fd] = path;
    struct stat st;
    if (made) unflushed_.push_back({change::made, path});
    if (writing && ::fstat(fd, &st) == 0) dirty_.emplace(inode{st.st_dev, st.st_ino}, (flags & O_TRUNC) ? 0 : st.st_size);
    if (writing && (flags & O_TRUNC) && ::fstat(fd, &st) == 0) dirty_[{st.st_dev, st.st_ino}] = 0;
    return fd;
}

ssize_t crash_disk::write(int fd, const void* data, size_t size) {
    if (!next()) return -1;
    struct stat st;
    if (::fstat(fd, &st) == 0) dirty_.emplace(inode{st.st_dev, st.st_ino}, st.st_size);
    return file_system::write(fd, data, size);
}

int crash_disk::flush(int fd) {
    if (!next()) return -1;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        const std::string dir = open_[fd];
        std::erase_if(unflushed_, [&](const change& c) {
            return parent_dir(c.what == change::renamed ? c.to : c.path) == dir;
        });
    } else if (::fstat(fd, &st) == 0) {
        dirty_.erase({st.st_dev, st.st_ino});
    }
    return 0;  // what a flush makes lasting is kept track of here; the test disk need not wait for it
}

int crash_disk::rename(const char* from, const char* to) {
    if (!next()) return -1;
    std::string kept;
    keep_old(to, kept);
    const int result = file_system::rename(from, to);
    if (result == 0) unflushed_.push_back({change::renamed, from, to, kept});
    return result;
}

int crash_disk::unlink(const char* path) {
    if (!next()) return -1;
    std::string kept;
    keep_old(path, kept);
    const int result = file_system::unlink(path);
    if (result == 0 && !kept.empty()) unflushed_.push_back({change::unlinked, path, "", kept});
    return result;
}

int crash_disk::link(const char* from, const char* to) {
    if (!next()) return -1;
    const int result = file_system::link(from, to);
    if (result == 0) unflushed_.push_back({change::made, to});
    return result;
}

int crash_disk::symlink(const char* target, const char* path) {
    if (!next()) return -1;
    const int result = file_system::symlink(target, path);
    if (result == 0) unflushed_.push_back({change::made, path});
    return result;
}

int crash_disk::mkdir(const char* path, mode_t mode) {
    struct stat st;
    if (::stat(path, &st) == 0) return errno = EEXIST, -1;  // no change: not counted
    if (!next()) return -1;
    const int result = file_system::mkdir(path, mode);
    if (result == 0) unflushed_.push_back({change::made_dir, path});
    return result;
}

int crash_disk::rmdir(const char* path) {
    if (!next()) return -1;
    const int result = file_system::rmdir(path);
    if (result == 0) unflushed_.push_back({change::removed_dir, path});
    return result;
}

int crash_disk::chmod(const char* path, mode_t mode) { return next() ? file_system::chmod(path, mode) : -1; }

int crash_disk::close(int fd) {
    open_.erase(fd);
    return file_system::close(fd);
}

// Undoes the unflushed changes, newest first, then cuts the unflushed content of files back and empties /ram.
void crash_disk::cut_power() {
    for (auto it = unflushed_.rbegin(); it != unflushed_.rend(); ++it) {
        const std::string &to = it->to, &kept = it->kept;
        switch (it->what) {
            case change::made: ::unlink(it->path.c_str()); break;
            case change::made_dir: ::rmdir(it->path.c_str()); break;
            case change::removed_dir: ::mkdir(it->path.c_str(), 0755); break;
            case change::unlinked: ::link(kept.c_str(), it->path.c_str()); break;
            case change::renamed:
                ::rename(to.c_str(), it->path.c_str());
                if (!kept.empty()) ::link(kept.c_str(), to.c_str());
                break;
        }
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto entry = fs::recursive_directory_iterator("/", ec); entry != fs::recursive_directory_iterator();
         entry.increment(ec)) {
        struct stat st;
        if (::lstat(entry->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        auto dirty = dirty_.find({st.st_dev, st.st_ino});
        if (dirty != dirty_.end()) ::truncate(entry->path().c_str(), std::min(dirty->second, st.st_size));
    }
    fs::remove_all(kept_dir, ec);
    for (const auto& entry : fs::directory_iterator("/ram", ec)) fs::remove_all(entry.path(), ec);
}
