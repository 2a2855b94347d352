#include "manifest/manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "manifest/file_helpers.h"
#include "manifest/journal.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"

namespace {

// Room for the path of a temporary file, terminating NUL included.
constexpr std::size_t temporary_path_room = 128;
constexpr const char* temporary_name = "/tmpXXXXXX";

bool exists(const std::string& path) {
    struct stat st;
    return disk().stat(path.c_str(), st) == 0;
}

void delete_file(const std::string& path) { disk().unlink(path.c_str()); }

// The path of a file named name in the directory of destination, or in
// the directory levels above that one.
std::string beside_destination(const std::string& destination, unsigned levels, const std::string& name) {
    std::string dir = parent_dir(destination);
    for (; levels != 0; --levels) dir = parent_dir(dir);
    return (dir == "/" ? std::string() : dir) + "/" + name;
}

// How an operation holds its source: a staged file in its destination's
// directory or one of the nine above it as the number of levels up and its
// name, when that gives back the very path; short enough for the string to
// hold without a heap block.
std::string held_source(const std::string& destination, entry_kind kind, const std::string& source) {
    if (kind != entry_kind::staged_file) return source;
    const std::size_t slash = source.rfind('/');
    if (slash == std::string::npos || slash + 1 == source.size()) return source;
    const std::string name = source.substr(slash + 1);
    for (unsigned levels = 0; levels <= 9; ++levels)
        if (beside_destination(destination, levels, name) == source) return static_cast<char>('0' + levels) + name;
    return source;
}

void delete_staged(const std::string& destination, const manifest_operation& operation) {
    if (operation.kind == entry_kind::staged_file) delete_file(source_path(destination, operation));
}

bool is_moved(const manifest_operation& entry) {
    return entry.kind == entry_kind::move || entry.kind == entry_kind::staged_file;
}

// A directory loses its plain files; hidden files and subdirectories keep it
// in place. A file that the manifest itself puts into the directory stays:
// completing the journal of a stopped run may find it there already.
void remove_path(const file_manifest& manifest, const std::string& path) {
    if (disk().unlink(path.c_str()) == 0 || errno != EISDIR) return;
    if (DIR* dir = disk().opendir(path.c_str())) {
        const std::string prefix = path.back() == '/' ? path : path + "/";
        while (dirent* entry = disk().readdir(dir)) {
            if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
            auto placed = manifest.entries.find(prefix + entry->d_name);
            if (placed != manifest.entries.end() && placed->second.kind != entry_kind::remove) continue;
            delete_file(prefix + entry->d_name);
        }
        disk().closedir(dir);
    }
    disk().rmdir(path.c_str());
}

// The directory and its ancestors up to the root, for flushing.
void note_changed(std::set<std::string>& changed, std::string dir) {
    while (changed.insert(dir).second && dir != "/" && dir != ".") dir = parent_dir(dir);
}

bool carry_out_entry(const file_manifest& manifest, const std::string& destination, const manifest_operation& entry,
                     bool again, std::set<std::string>& changed) {
    note_changed(changed, parent_dir(destination));
    if (entry.kind == entry_kind::remove) {
        remove_path(manifest, destination);
        return true;
    }
    make_dirs(parent_dir(destination));
    if (entry.kind == entry_kind::symlink) {
        disk().unlink(destination.c_str());
        if (disk().symlink(entry.source.c_str(), destination.c_str()) == 0) return true;
        std::perror("symlink");
        return false;
    }
    const std::string source = source_path(destination, entry);
    note_changed(changed, parent_dir(source));
    // A directory of the old version that becomes a file: its files are gone
    // by now, and the empty directory gives way.
    struct stat st;
    if (disk().lstat(destination.c_str(), st) == 0 && S_ISDIR(st.st_mode)) disk().rmdir(destination.c_str());
    if (disk().rename(source.c_str(), destination.c_str()) == 0) return true;
    // Completing a journal: a source that is gone was renamed already.
    if (again && errno == ENOENT && disk().lstat(source.c_str(), st) != 0) return true;
    std::perror("rename");
    return false;
}

// The nearest directory at or above dir that exists: where a file for a
// destination in dir can be made on the destination's own file system.
std::string nearest_directory(std::string dir) {
    struct stat st;
    while (!(disk().stat(dir.c_str(), st) == 0 && S_ISDIR(st.st_mode)) && dir != "/" && dir != ".")
        dir = parent_dir(dir);
    return dir;
}

// A source that was copied to flash: a staged file of this run, or a file in
// /ram or /tmp named as staged files are (a saved manifest's), is deleted
// once the journal holds the copy; only the first kind when the run is
// cancelled instead.
struct copied_source {
    std::string path;
    bool staged;
};

// Every source on another file system than its destination is copied next
// to it first, so that applying is nothing but renames and a stopped run can
// be completed from flash alone. The copies become staged files of the
// manifest.
bool bring_sources_beside(file_manifest& manifest, bool spinner, std::vector<copied_source>& copied) {
    for (auto& [destination, entry] : manifest.entries) {
        struct stat source, dir;
        if (!is_moved(entry)) continue;
        const std::string from = source_path(destination, entry);
        if (disk().stat(from.c_str(), source) != 0) continue;
        const std::string directory = nearest_directory(parent_dir(destination));
        if (disk().stat(directory.c_str(), dir) != 0 || dir.st_dev == source.st_dev) continue;
        std::string copy;
        int fd = create_temporary(directory == "/" ? "" : directory, copy,
                                  [&](const std::string& name) { note_staged_file(destination, name); });
        if (fd < 0) return false;
        disk().close(fd);
        const bool staged = entry.kind == entry_kind::staged_file;
        if (staged || (is_in_memory(from) && is_temporary_name(from))) copied.push_back({from, staged});
        const bool made = copy_file(from, copy, spinner) && disk().chmod(copy.c_str(), source.st_mode & 07777) == 0;
        entry.kind = entry_kind::staged_file;
        entry.source = held_source(destination, entry.kind, copy);
        if (!made) return false;
    }
    return true;
}

// The staged contents reach the disk before the journal names them, or a
// power cut could leave empty files in place of the old ones.
bool flush_sources(const file_manifest& manifest) {
    std::set<std::string> dirs;
    bool flushed = flush_staged_list();
    for (const auto& [destination, entry] : manifest.entries) {
        if (!is_moved(entry)) continue;
        const std::string source = source_path(destination, entry);
        if (!flush_path(source) && errno != ENOENT) flushed = false;
        dirs.insert(parent_dir(source));
    }
    return flush_directories(dirs) && flushed;
}

struct mount_space {
    const char* mount;
    std::int64_t block_size;
    std::int64_t free_blocks;
};

bool belongs_to(const std::string& path, const char* mount) { return path.compare(0, std::strlen(mount), mount) == 0; }

std::int64_t blocks_of(const struct stat& st, std::int64_t block_size) {
    return (static_cast<std::int64_t>(st.st_size) + block_size - 1) / block_size;
}

}  // namespace

file_manifest::file_manifest(file_manifest&& other) noexcept
    : entries(std::move(other.entries)), holds_staged_files(other.holds_staged_files) {
    other.entries.clear();
    other.holds_staged_files = false;
}

file_manifest::~file_manifest() {
    if (holds_staged_files) cancel_manifest(*this);
}

// Recording a new operation replaces the old one; a temporary file that the
// old entry staged is deleted so that it does not linger on flash.
void stage_operation(file_manifest& manifest, const std::string& destination, entry_kind kind,
                     const std::string& source) {
    auto it = manifest.entries.find(destination);
    if (it == manifest.entries.end()) {
        manifest.entries.emplace(destination, manifest_operation{kind, held_source(destination, kind, source)});
        return;
    }
    delete_staged(destination, it->second);
    it->second.kind = kind;
    it->second.source = held_source(destination, kind, source);
}

void stage_move(file_manifest& manifest, const std::string& source, const std::string& destination) {
    stage_operation(manifest, destination, entry_kind::move, source);
}

void stage_symlink(file_manifest& manifest, const std::string& target, const std::string& link_path) {
    stage_operation(manifest, link_path, entry_kind::symlink, target);
}

void stage_remove(file_manifest& manifest, const std::string& path) {
    if (exists(path)) {
        stage_operation(manifest, path, entry_kind::remove, "");
        return;
    }
    auto it = manifest.entries.find(path);
    if (it == manifest.entries.end()) return;
    // Nothing to remove; a temporary file staged for the path goes too, or
    // it would stay behind on flash for good.
    delete_staged(path, it->second);
    manifest.entries.erase(it);
}

std::string temporary_directory_for(const std::string& destination, std::uint32_t size) {
    std::string directory = ram_directory;
    if (size != 0) {
        std::string dir = parent_dir(destination);
        while (true) {
            // A file of the old version where the new one has a directory
            // answers statfs too, but cannot hold the temporary file.
            struct statfs fs;
            struct stat st;
            if (disk().statfs(dir.c_str(), fs) == 0 && disk().stat(dir.c_str(), st) == 0 && S_ISDIR(st.st_mode)) {
                std::uint64_t room = static_cast<std::uint64_t>(fs.f_bsize) * fs.f_bfree;
                if (static_cast<std::uint64_t>(size) + size / 10 < room &&
                    dir.size() + std::strlen(temporary_name) < temporary_path_room)
                    directory = dir;
                break;
            }
            if (dir == "/" || dir == ".") break;
            dir = parent_dir(dir);
        }
    } else if (!exists(ram_directory)) {
        directory = tmp_directory;
    }
    // "/" + "/tmpXXXXXX" would make "//tmpXXXXXX"; keep the path tidy.
    return directory == "/" ? "" : directory;
}

disk_ostream& stage_new_file(disk_ostream& out, file_manifest& manifest, const std::string& destination,
                             std::uint32_t size, mode_t mode) {
    if (out.is_open()) out.close();
    out.clear();
    // A file where a directory of the destination's path belongs can only
    // give way when this run removes it (a file of an old version that
    // becomes a directory).
    for (std::string dir = parent_dir(destination); dir != "/" && dir != "."; dir = parent_dir(dir)) {
        struct stat st;
        if (disk().stat(dir.c_str(), st) != 0) continue;
        auto it = manifest.entries.find(dir);
        if (S_ISDIR(st.st_mode) || (it != manifest.entries.end() && it->second.kind == entry_kind::remove)) break;
        errno = ENOTDIR;
        out.setstate(std::ios::failbit);
        return out;
    }
    std::string temporary;
    manifest.holds_staged_files = true;
    // The name is on the list of staged files before the file exists.
    int fd = create_temporary(temporary_directory_for(destination, size), temporary,
                              [&](const std::string& name) { note_staged_file(destination, name); });
    if (fd < 0) {
        out.setstate(std::ios::failbit);
        return out;
    }
    if (mode != 0) disk().chmod(temporary.c_str(), mode & 07777);
    stage_operation(manifest, destination, entry_kind::staged_file, temporary);
    out.attach(fd);
    return out;
}

bool claim_path(file_manifest& manifest, const std::string& path) {
    auto it = manifest.entries.find(path);
    if (it != manifest.entries.end()) {
        if (it->second.kind != entry_kind::remove) return false;
        manifest.entries.erase(it);
    }
    // Only a path that is not there at all is free: a directory path with
    // its trailing "/" fails on a plain file with ENOTDIR, and such a path
    // can no more become a directory than the file itself.
    struct stat st;
    if (disk().stat(path.c_str(), st) != 0) return errno == ENOENT;
    return S_ISDIR(st.st_mode);
}

bool carry_out(const file_manifest& manifest, bool again, std::set<std::string>& changed) {
    // The database's own files change last, so that no record is ever ahead
    // of the files it lists; within each part removals go first (a moved
    // file may sort before the removal of its old directory), then links,
    // then moves.
    static constexpr entry_kind order[] = {entry_kind::remove, entry_kind::symlink, entry_kind::move};
    bool done = true;
    for (bool records : {false, true})
        for (entry_kind kind : order)
            for (const auto& [destination, entry] : manifest.entries) {
                const entry_kind group = is_moved(entry) ? entry_kind::move : entry.kind;
                if (group == kind && destination.starts_with(database_directory) == records &&
                    !carry_out_entry(manifest, destination, entry, again, changed))
                    done = false;
            }
    return done;
}

bool apply_manifest(file_manifest& manifest, bool spinner) {
    bool journaled = false;
    for (const auto& [destination, entry] : manifest.entries) journaled |= is_below_flash(destination);
    std::vector<copied_source> copied;
    const char* failed = nullptr;
    if (!bring_sources_beside(manifest, spinner, copied))
        failed = "copy";
    else if (!flush_sources(manifest) || (journaled && !write_journal(manifest)))
        failed = "journal";
    if (failed) {
        // Nothing has changed yet: the run is cancelled as a whole.
        std::perror(failed);
        for (const copied_source& source : copied)
            if (source.staged) delete_file(source.path);
        cancel_manifest(manifest);
        return false;
    }
    for (const copied_source& source : copied) delete_file(source.path);
    // From here the journal, not this manifest, answers for the staged
    // files: a step that fails is completed by the next run.
    manifest.holds_staged_files = false;
    std::set<std::string> changed;
    bool done = carry_out(manifest, false, changed);
    if (!flush_directories(changed)) done = false;
    // A step that failed is tried again by the next run, from the journal.
    if (!done) return false;
    if (journaled) remove_journal();
    forget_staged_files(manifest);
    return true;
}

void cancel_manifest(file_manifest& manifest) {
    for (const auto& [destination, entry] : manifest.entries) delete_staged(destination, entry);
    manifest.entries.clear();
    manifest.holds_staged_files = false;
    forget_staged_files(manifest);
}

void unstage_below(file_manifest& manifest, const std::string& directory) {
    auto it = manifest.entries.lower_bound(directory);
    while (it != manifest.entries.end() && it->first.compare(0, directory.size(), directory) == 0) {
        if (it->first.size() == directory.size()) {
            ++it;
            continue;
        }
        delete_staged(it->first, it->second);
        it = manifest.entries.erase(it);
    }
}

std::string source_path(const std::string& destination, const manifest_operation& operation) {
    const std::string& held = operation.source;
    if (operation.kind != entry_kind::staged_file || held.empty() || held[0] < '0' || held[0] > '9') return held;
    return beside_destination(destination, static_cast<unsigned>(held[0] - '0'), held.substr(1));
}

bool has_space_for(const file_manifest& manifest, std::string* unmeasured) {
    mount_space spaces[2] = {{boot_mount, 1, 0}, {flash_root, 1, 0}};
    for (mount_space& space : spaces) {
        struct statfs fs;
        if (disk().statfs(space.mount, fs) == 0) {
            // A file system that reports no block size counts blocks of one byte.
            space.block_size = fs.f_bsize > 0 ? fs.f_bsize : 1;
            space.free_blocks = static_cast<std::int64_t>(fs.f_bfree);
        } else if (unmeasured && unmeasured->empty()) {
            *unmeasured = space.mount;
        }
    }
    for (const auto& [destination, entry] : manifest.entries) {
        for (mount_space& space : spaces) {
            if (!belongs_to(destination, space.mount)) continue;
            struct stat dest;
            bool dest_exists = disk().stat(destination.c_str(), dest) == 0;
            if (entry.kind == entry_kind::remove) {
                if (dest_exists) space.free_blocks += blocks_of(dest, space.block_size);
            } else if (entry.kind == entry_kind::move || entry.kind == entry_kind::staged_file) {
                struct stat src;
                if (disk().stat(source_path(destination, entry).c_str(), src) == 0) {
                    // A source on the destination's file system takes its
                    // room already; one from elsewhere is copied beside the
                    // old file, which is still there while the copy is made.
                    struct stat dir;
                    const std::string beside = nearest_directory(parent_dir(destination));
                    if (disk().stat(beside.c_str(), dir) != 0 || dir.st_dev != src.st_dev)
                        space.free_blocks -= blocks_of(src, space.block_size);
                } else if (dest_exists) {
                    space.free_blocks += blocks_of(dest, space.block_size);
                }
            }
        }
    }
    return spaces[0].free_blocks > 16 && spaces[1].free_blocks > 16;
}

bool is_empty(const file_manifest& manifest) { return manifest.entries.empty(); }
