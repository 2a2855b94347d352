// What keeps a run whole when it is killed or the power goes: the list of
// the temporary files a run stages on flash, and the journal of the changes
// it is applying. Both live in the database's directory under names that
// begin with "." and are thus no package's, and both are gone once a run has
// ended; a run that finds them completes or undoes what the last one left.
#pragma once

#include <set>
#include <string>

#include "console/context.h"
#include "manifest/manifest.h"
#include "platform/router_paths.h"

// Notes a temporary file about to be made for a destination, so that a run
// stopped before it applies or cancels finds it; only destinations under
// /flash/ are noted.
void note_staged_file(const std::string& destination, const std::string& temporary);
// Puts the list of staged files on disk, for a later "--commit" or
// "--cancel" or a run after a power cut that lost /ram.
bool flush_staged_list();
// Deletes every file the list names but those the manifest puts in place,
// then the list; nothing while a saved manifest still waits for "--commit".
void forget_staged_files(const file_manifest& manifest);

// Writes the manifest as the journal: a temporary file, flushed, renamed
// into place, its directory flushed. False when that fails.
bool write_journal(const file_manifest& manifest);
// Removes the journal once the run is on disk.
void remove_journal();

// Carries out the entries: for the package files first and then for the
// database's own files, removals, then links, then moves, each in path
// order. again: the journal of a stopped run, whose steps may be done
// already. Every directory that changed goes into changed. False when a
// step failed (reported on standard error).
bool carry_out(const file_manifest& manifest, bool again, std::set<std::string>& changed);
// Flushes the directories in changed; false when one fails.
bool flush_directories(const std::set<std::string>& changed);

// Called before the database is loaded by every run that may change
// anything: completes a journal that a stopped run left, deletes the staged
// files it or the list names, and says so once. True when it found anything.
bool recover_interrupted_run(installer_context& ctx);
