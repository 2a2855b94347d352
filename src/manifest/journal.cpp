#include "manifest/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "manifest/file_helpers.h"
#include "manifest/saved_manifest.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"

namespace {

// The database's directory, which holds the journal and the list.
const std::string database_dir = parent_dir(journal_path);
// The list is read whole; it names one short path per staged file.
constexpr std::size_t max_list_size = 64u << 20;
constexpr std::size_t journal_block = 64u << 10;

// The list stays open for appending while the run stages.
int list_fd = -1;

bool exists(const std::string& path) {
    struct stat st;
    return disk().lstat(path.c_str(), st) == 0;
}

std::string journal_temporary() { return std::string(journal_path) + ".new"; }

// Deletes the paths the list names, one a line (a last line cut short is no
// path), read a line at a time: the list of a package of many files is a
// few megabytes, and it is read while the manifest is at its largest.
void delete_listed(const file_manifest& placed) {
    regular_istream list(staged_list_path);
    if (!list.is_open() || static_cast<std::uint64_t>(list.status().st_size) > max_list_size) return;
    std::string path;
    while (std::getline(list, path) && !list.eof()) {
        if (path.empty()) continue;
        auto it = placed.entries.find(path);
        if (it == placed.entries.end() || it->second.kind == entry_kind::remove) disk().unlink(path.c_str());
    }
}

}  // namespace

void note_staged_file(const std::string& destination, const std::string& temporary) {
    if (!is_below_flash(destination)) return;
    if (list_fd < 0) {
        const bool made = !exists(staged_list_path);
        list_fd = disk().open(staged_list_path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC, 0600);
        if (list_fd < 0) return;
        // The list is on disk before the first file it names.
        if (made) flush_path(database_dir);
    }
    const std::string line = temporary + "\n";
    write_all(list_fd, line.data(), line.size());
}

bool flush_staged_list() {
    if (list_fd < 0) return true;
    return disk().flush(list_fd) == 0 && flush_path(database_dir);
}

void forget_staged_files(const file_manifest& manifest) {
    if (list_fd >= 0) {
        disk().close(list_fd);
        list_fd = -1;
    }
    struct stat st;
    if (disk().stat(saved_manifest_path, st) == 0 || !exists(staged_list_path)) return;
    delete_listed(manifest);
    disk().unlink(staged_list_path);
}

bool write_journal(const file_manifest& manifest) {
    for (const auto& [destination, entry] : manifest.entries) {
        // A path the lines cannot hold would come back as another operation.
        if (destination.find_first_of(" \n") != std::string::npos || entry.source.find('\n') != std::string::npos) {
            errno = EINVAL;
            return false;
        }
    }
    if (!make_dirs(database_dir)) return false;
    const std::string temporary = journal_temporary();
    int fd = disk().open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // Written a block at a time: the journal of a package of many files
    // never has to fit in memory whole beside the manifest.
    std::string text;
    bool written = true;
    for (const auto& [destination, entry] : manifest.entries) {
        text += manifest_line(destination, entry);
        text += '\n';
        if (text.size() < journal_block) continue;
        written = written && write_all(fd, text.data(), text.size());
        text.clear();
    }
    written = written && write_all(fd, text.data(), text.size()) && disk().flush(fd) == 0;
    if (disk().close(fd) != 0) written = false;
    if (!written || disk().rename(temporary.c_str(), journal_path) != 0 || !flush_path(database_dir)) {
        int saved = errno;
        disk().unlink(temporary.c_str());
        disk().unlink(journal_path);
        errno = saved;
        return false;
    }
    return true;
}

void remove_journal() {
    if (disk().unlink(journal_path) == 0) flush_path(database_dir);
}

bool flush_directories(const std::set<std::string>& changed) {
    bool flushed = true;
    for (const std::string& dir : changed)
        if (exists(dir) && !flush_path(dir)) flushed = false;
    return flushed;
}

bool recover_interrupted_run(installer_context& ctx) {
    bool journal = false, found = false;
    // Half-written journals and saved manifests never count.
    for (const std::string& half : {journal_temporary(), std::string(saved_manifest_path) + ".new"}) {
        if (!exists(half)) continue;
        disk().unlink(half.c_str());
        found = true;
    }
    file_manifest replayed;
    if (exists(journal_path)) {
        journal = true;
        load_manifest(replayed, journal_path);
        std::set<std::string> changed;
        carry_out(replayed, true, changed);
        flush_directories(changed);
    }
    struct stat st;
    if (exists(staged_list_path) && (journal || disk().stat(saved_manifest_path, st) != 0)) {
        delete_listed(replayed);
        disk().unlink(staged_list_path);
        found = true;
    }
    if (journal) remove_journal();
    if (journal)
        report_warning(ctx, "completed the changes of an interrupted run");
    else if (found)
        report_warning(ctx, "removed the files of an interrupted run");
    return journal || found;
}
