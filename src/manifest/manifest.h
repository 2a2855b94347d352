// The file manifest: every file change of a run is staged here, per
// destination path, and reaches disk only when the manifest is applied.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/regular_file.h"

enum class entry_kind {
    move,         // an existing file is renamed to the destination
    staged_file,  // like move, but the source is a temporary file of the manifest's own
    symlink,      // a link to the source is made at the destination
    remove,       // the destination is deleted (a file, or a directory with its plain files)
};

// One staged operation; its destination is the key it is held under. A
// staged file made in its destination's directory or a few levels above it
// keeps only the number of levels and its name, which the string holds
// without a heap block: a package of many files costs one path per file,
// not three. source_path gives the whole path either way.
struct manifest_operation {
    entry_kind kind = entry_kind::remove;
    std::string source;
};

// An operation with its destination, as a saved manifest's line names it.
struct manifest_entry {
    std::string destination;
    entry_kind kind = entry_kind::remove;
    std::string source;
};

struct file_manifest {
    // Destination path to operation, in byte-wise ascending order of the paths.
    std::map<std::string, manifest_operation> entries;
    // Whether this manifest made temporary files that no apply, save or
    // cancel has settled yet. A manifest dropped in that state cancels
    // itself, so that no way out of a run leaves its staged files behind.
    bool holds_staged_files = false;

    file_manifest() = default;
    file_manifest(file_manifest&& other) noexcept;
    file_manifest& operator=(file_manifest&&) = delete;
    ~file_manifest();
};

// The whole path of the operation's source.
std::string source_path(const std::string& destination, const manifest_operation& operation);

// Records the operation for destination as given, in place of an earlier
// one, whose staged file is deleted.
void stage_operation(file_manifest& manifest, const std::string& destination, entry_kind kind,
                     const std::string& source);
void stage_move(file_manifest& manifest, const std::string& source, const std::string& destination);
void stage_symlink(file_manifest& manifest, const std::string& target, const std::string& link_path);
void stage_remove(file_manifest& manifest, const std::string& path);

// Opens out on a new temporary file that will be renamed over destination.
// size is the expected size (0: unknown) and decides where the temporary file
// goes; mode 0 keeps the permissions the file was created with.
disk_ostream& stage_new_file(disk_ostream& out, file_manifest& manifest, const std::string& destination,
                             std::uint32_t size, mode_t mode);

// Whether a package may take path as its directory; drops a pending removal.
bool claim_path(file_manifest& manifest, const std::string& path);

// Carries out every entry so that a kill or a power cut leaves the run
// either undone or completed by the next run: sources from other file
// systems are copied beside their destinations first, the staged contents
// are flushed and the journal written; then removals, links and moves, the
// database's files last; the changed directories are flushed. False when
// the run was cancelled before anything changed (a failed copy) or a step
// failed (the journal stays for the next run); reported on standard error.
bool apply_manifest(file_manifest& manifest, bool spinner);
void cancel_manifest(file_manifest& manifest);
// Forgets every entry for a path inside directory (which ends with "/"),
// deleting the temporary files of staged ones: what this run staged there
// is not to happen any more. An entry for the directory itself stays.
void unstage_below(file_manifest& manifest, const std::string& directory);

// Whether /flash/boot and /flash keep more than 16 free blocks once the
// manifest is applied. One that cannot be measured has no room; its path
// goes to unmeasured when one is given.
bool has_space_for(const file_manifest& manifest, std::string* unmeasured = nullptr);
bool is_empty(const file_manifest& manifest);

// Where stage_new_file puts the temporary file for a destination of the
// given expected size.
std::string temporary_directory_for(const std::string& destination, std::uint32_t size);
