// File helpers of the file manifest: copying with a spinner, directory
// creation and parent directories.
#pragma once

#include <cstdint>
#include <string>

// Copies a regular file with its permission bits, in 16384-byte chunks;
// advances the spinner after each chunk when asked. A partly written
// destination is left as it is.
bool copy_file(const std::string& source, const std::string& destination, bool spinner);

// mkdir -p with mode 0777; true when the directory exists afterwards.
bool make_dirs(const std::string& path);

// The parent directory as dirname(3) gives it; trailing slashes are ignored.
std::string parent_dir(const std::string& path);

// Draws or advances the spinner "|/-\" on standard output, at most five
// steps a second; after a pause it catches up one step per call.
void advance_spinner();

// Test seam: the spinner's state (its clock is platform::hardware's).
struct spinner_state {
    std::uint32_t last_tick = 0;
    std::uint32_t index = 0;
};
spinner_state& spinner();

// Whether the file name of path is one that stage_new_file makes: "tmp" and
// the six letters or digits that mkstemp puts in place of its template.
bool is_temporary_name(const std::string& path);

// Whether path names a file right in /ram or /tmp, where staged files of
// unknown size go.
bool is_in_memory(const std::string& path);

// Whether path names something strictly inside /flash without detours:
// "/flash/" followed by components that are neither empty, "." nor "..",
// none longer than NAME_MAX, and no NUL anywhere. Installed files, record
// directories and every destination of a manifest are such paths. (A longer
// component would stage under its temporary name and only fail when the run
// is applied.)
bool is_clean_flash_path(const std::string& path);
