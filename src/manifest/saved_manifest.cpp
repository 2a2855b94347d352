#include "manifest/saved_manifest.h"

#include <limits.h>
#include <sys/stat.h>

#include <string_view>

#include "manifest/file_helpers.h"
#include "manifest/journal.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"

namespace {

// Whether ancestor is dir or one of its ancestors, no higher than /flash:
// the directories in which stage_new_file puts the temporary file of a
// destination in dir.
bool is_staging_ancestor(const std::string& ancestor, const std::string& dir) {
    if (ancestor != flash_root && !is_below_flash(ancestor)) return false;
    if (ancestor == dir) return true;
    return dir.size() > ancestor.size() && dir.compare(0, ancestor.size(), ancestor) == 0 &&
           dir[ancestor.size()] == '/';
}

// A path the system calls take whole: absolute, without a NUL that would
// cut it short, and shorter than PATH_MAX.
bool is_whole_absolute_path(const std::string& path) {
    return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos && path.size() < PATH_MAX;
}

// A source that a move or link may have: an absolute path to a regular file
// (not a link to one), or nothing yet, in which case the operation fails
// alone as it always has.
bool is_acceptable_source(const std::string& source) {
    if (!is_whole_absolute_path(source)) return false;
    struct stat st;
    return disk().lstat(source.c_str(), st) != 0 || S_ISREG(st.st_mode);
}

bool is_acceptable(const std::string& destination, const manifest_operation& entry) {
    // A removal may name a directory with its trailing "/": the installer
    // removes a record directory so.
    std::string_view path = destination;
    if (entry.kind == entry_kind::remove && path.ends_with('/')) path.remove_suffix(1);
    if (!is_clean_flash_path(std::string(path)) || destination.size() >= PATH_MAX) return false;
    return entry.kind == entry_kind::remove || is_acceptable_source(source_path(destination, entry));
}

}  // namespace

void delete_staged_sources(const file_manifest& manifest) {
    for (const auto& [destination, entry] : manifest.entries) {
        if (entry.kind != entry_kind::move && entry.kind != entry_kind::staged_file) continue;
        const std::string source = source_path(destination, entry);
        if (!is_temporary_name(source)) continue;
        if (!is_clean_flash_path(destination)) continue;
        if (is_in_memory(source) || is_staging_ancestor(parent_dir(source), parent_dir(destination)))
            disk().unlink(source.c_str());
    }
}

bool save_manifest(file_manifest& manifest, const std::string& path) {
    // A line end anywhere, or a blank in a destination, would read back as
    // another operation than the one staged (a cut-off line could even turn
    // into the removal of a parent directory): such a manifest is not saved.
    for (const auto& [destination, entry] : manifest.entries) {
        if (destination.find_first_of(" \n") != std::string::npos || entry.source.find('\n') != std::string::npos)
            return false;
    }
    // Written beside the path and renamed over it, so that a run stopped in
    // the middle never leaves part of a manifest for a later "--commit".
    std::string temporary = path + ".new";
    // Through the file-system seam, and never into a FIFO or device planted
    // under that name.
    regular_ostream out(temporary, false);
    for (const auto& [destination, entry] : manifest.entries) out << manifest_line(destination, entry) << '\n';
    out.close();
    if (out.fail() || disk().rename(temporary.c_str(), path.c_str()) != 0) {
        disk().unlink(temporary.c_str());
        return false;
    }
    // The staged files wait for "--commit" or "--cancel" now, and must stay
    // findable when a power cut loses /ram.
    manifest.holds_staged_files = false;
    return flush_staged_list();
}

void load_manifest(file_manifest& manifest, const std::string& path) {
    regular_istream in(path);
    std::string line;
    while (std::getline(in, line)) {
        // A last line without its line end was cut short while it was being
        // saved; it could name a shorter path than was meant (a removal of a
        // parent directory), so it ends the reading like an empty line.
        if (in.eof()) break;
        if (line.empty()) break;
        // At most three blank-separated fields; the third keeps the rest of the line.
        std::string fields[3];
        int count = 0;
        std::size_t pos = 0;
        while (count < 3) {
            pos = line.find_first_not_of(' ', pos);
            if (pos == std::string::npos) break;
            std::size_t end = count == 2 ? line.size() : line.find(' ', pos);
            if (end == std::string::npos) end = line.size();
            fields[count++] = line.substr(pos, end - pos);
            pos = end;
        }
        if (count < 2) break;
        if (fields[0] == "U") {
            stage_operation(manifest, fields[1], entry_kind::remove, "");
        } else if (fields[0] == "L") {
            if (count < 3) break;
            stage_operation(manifest, fields[1], entry_kind::symlink, fields[2]);
        } else if (fields[0] == "M") {
            if (count < 3) break;
            stage_operation(manifest, fields[1], entry_kind::move, fields[2]);
        }
    }
}

std::string manifest_line(const manifest_entry& entry) {
    switch (entry.kind) {
        case entry_kind::remove: return "U " + entry.destination;
        case entry_kind::symlink: return "L " + entry.destination + " " + entry.source;
        case entry_kind::move:
        case entry_kind::staged_file: break;
    }
    return "M " + entry.destination + " " + entry.source;
}

std::string manifest_line(const std::string& destination, const manifest_operation& operation) {
    return manifest_line({destination, operation.kind, source_path(destination, operation)});
}

std::vector<manifest_entry> remove_unsafe_entries(file_manifest& manifest) {
    std::vector<manifest_entry> removed;
    for (auto it = manifest.entries.begin(); it != manifest.entries.end();) {
        if (is_acceptable(it->first, it->second)) {
            ++it;
            continue;
        }
        removed.push_back({it->first, it->second.kind, source_path(it->first, it->second)});
        it = manifest.entries.erase(it);
    }
    return removed;
}
