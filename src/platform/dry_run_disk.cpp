#include "platform/dry_run_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0; }

void count_blocks(struct stat& st) { st.st_blocks = (st.st_size + 511) / 512; }

}  // namespace

dry_run_disk::~dry_run_disk() {
    for (const auto& [fd, path] : open_) ::close(fd);
}

const dry_run_disk::made_file* dry_run_disk::made(const std::string& path) const {
    auto it = made_.find(path);
    return it == made_.end() ? nullptr : &it->second;
}

int dry_run_disk::look(const std::string& path, struct stat& st, bool follow) {
    if (const made_file* file = made(path)) {
        st = file->st;
        return 0;
    }
    if (gone(path)) {
        errno = ENOENT;
        return -1;
    }
    return follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
}

dry_run_disk::made_file& dry_run_disk::make(const std::string& path, const struct stat& like) {
    off_t replaced = 0;
    if (const made_file* before = made(path)) {
        replaced = before->replaced;
    } else if (!gone(path)) {
        struct stat there;
        if (::lstat(path.c_str(), &there) == 0 && S_ISREG(there.st_mode)) replaced = there.st_size;
    }
    made_file& file = made_[path];
    file.st = like;
    file.st.st_ino = next_inode_++;
    file.st.st_nlink = 1;
    file.replaced = replaced;
    gone_.erase(path);
    return file;
}

void dry_run_disk::take_away(const std::string& path, const struct stat& st) {
    const made_file* file = made(path);
    gone_[path] = {st.st_dev, file ? file->replaced : st.st_size};
    made_.erase(path);
}

int dry_run_disk::open(const char* path, int flags, mode_t mode) {
    struct stat st;
    const bool there = look(path, st, true) == 0;
    if (!writes(flags) && !made(path)) {
        if (!there) return -1;
        return ::open(path, flags, mode);
    }
    if (there && (flags & O_CREAT) && (flags & O_EXCL)) {
        errno = EEXIST;
        return -1;
    }
    if (there && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    if (!there && !(flags & O_CREAT)) {
        errno = ENOENT;
        return -1;
    }
    struct stat dir;
    if (!there && (look(parent_of(path), dir, true) != 0 || !S_ISDIR(dir.st_mode))) {
        errno = ENOENT;
        return -1;
    }
    // A descriptor that nothing can write through: the run's writes come
    // here, and its number is the kernel's, unique while it is open.
    const int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!made(path)) {
        if (!there) {
            // Device, owner and times as a file made in that directory would have.
            st = dir;
            st.st_mode = S_IFREG | (mode & 0777);
            st.st_size = 0;
        }
        make(path, st);
    }
    struct stat& made_st = made_[path].st;
    if (flags & O_TRUNC) made_st.st_size = 0;
    count_blocks(made_st);
    open_[fd] = path;
    return fd;
}

ssize_t dry_run_disk::write(int fd, const void*, size_t size) {
    auto it = open_.find(fd);
    if (it != open_.end()) {
        struct stat& st = made_[it->second].st;
        st.st_size += static_cast<off_t>(size);
        count_blocks(st);
    }
    return static_cast<ssize_t>(size);
}

int dry_run_disk::flush(int) { return 0; }

int dry_run_disk::rename(const char* from, const char* to) {
    struct stat st;
    if (look(from, st, false) != 0) return -1;
    take_away(from, st);
    make(to, st);
    return 0;
}

int dry_run_disk::unlink(const char* path) {
    struct stat st;
    if (look(path, st, false) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    take_away(path, st);
    return 0;
}

int dry_run_disk::link(const char*, const char*) { return 0; }
int dry_run_disk::symlink(const char*, const char*) { return 0; }

int dry_run_disk::mkdir(const char* path, mode_t) {
    struct stat st;
    if (look(path, st, false) == 0) {
        errno = EEXIST;
        return -1;
    }
    return 0;
}

int dry_run_disk::rmdir(const char*) { return 0; }

int dry_run_disk::chmod(const char* path, mode_t mode) {
    struct stat st;
    if (look(path, st, true) != 0) return -1;
    auto it = made_.find(path);
    if (it != made_.end()) it->second.st.st_mode = (it->second.st.st_mode & ~static_cast<mode_t>(07777)) | (mode & 07777);
    return 0;
}

int dry_run_disk::close(int fd) {
    open_.erase(fd);
    return ::close(fd);
}

ssize_t dry_run_disk::read(int fd, void* data, size_t size) {
    if (open_.count(fd) != 0) return 0;  // the content of a made file is not kept
    return ::read(fd, data, size);
}

int dry_run_disk::stat(const char* path, struct stat& st) { return look(path, st, true); }
int dry_run_disk::lstat(const char* path, struct stat& st) { return look(path, st, false); }

int dry_run_disk::fstat(int fd, struct stat& st) {
    auto it = open_.find(fd);
    if (it == open_.end()) return ::fstat(fd, &st);
    st = made_[it->second].st;
    return 0;
}

int dry_run_disk::statfs(const char* path, struct statfs& fs) {
    if (::statfs(path, &fs) != 0) return -1;
    struct stat place;
    if (::stat(path, &place) != 0 || fs.f_bsize <= 0) return 0;
    // The files the run made take their room, and those it deleted give
    // theirs back, as they would on disk.
    const std::int64_t block = fs.f_bsize;
    auto blocks = [block](off_t size) { return (static_cast<std::int64_t>(size) + block - 1) / block; };
    std::int64_t taken = 0;
    for (const auto& [name, file] : made_)
        if (file.st.st_dev == place.st_dev) taken += blocks(file.st.st_size) - blocks(file.replaced);
    for (const auto& [name, file] : gone_)
        if (file.dev == place.st_dev) taken -= blocks(file.size);
    auto less = [taken](auto count) {
        const std::int64_t left = static_cast<std::int64_t>(count) - taken;
        return static_cast<decltype(count)>(left < 0 ? 0 : left);
    };
    fs.f_bfree = less(fs.f_bfree);
    fs.f_bavail = less(fs.f_bavail);
    return 0;
}
