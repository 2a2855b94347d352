// The text form of a file manifest: the manifest a "--safe" run saves for a
// later "--commit" or "--cancel", and the journal of a run being applied,
// one line per operation ("U ", "L ", "M ").
#pragma once

#include <string>
#include <vector>

#include "manifest/manifest.h"

// Writes the manifest to path whole (never part of it); false when it cannot,
// or when a path holds a blank or line end that would read back as another
// operation. A saved manifest keeps its staged files for the later run.
bool save_manifest(file_manifest& manifest, const std::string& path);
void load_manifest(file_manifest& manifest, const std::string& path);

// Deletes the temporary files that the moves of a loaded manifest would have
// renamed into place (the staged files of a saved "--safe" run): files named
// as stage_new_file names them, in /ram, in /tmp, or in the destination's
// directory or one of its ancestors up to /flash, for destinations under
// /flash/. Other sources, such as downloaded package files, are left alone.
void delete_staged_sources(const file_manifest& manifest);

// The line of a saved manifest for entry, without its line end.
std::string manifest_line(const manifest_entry& entry);
std::string manifest_line(const std::string& destination, const manifest_operation& operation);

// Takes out of a loaded manifest, and returns in map order, every entry that
// no run of the installer stages: a destination that is not a clean path
// under /flash/ (is_clean_flash_path) or is not shorter than PATH_MAX, and a
// move or link whose source is no absolute path or names something other
// than a regular file (a link is not followed). A source that is missing is
// kept: its operation fails on its own, as it always has.
std::vector<manifest_entry> remove_unsafe_entries(file_manifest& manifest);
