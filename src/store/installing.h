// Installing one package's files into the store, and staging the removal of
// an installed package. Everything here is staged in the file manifest:
// nothing under /flash changes until the manifest is applied, so a failed
// installation is cancelled as a whole by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "console/context.h"
#include "manifest/manifest.h"
#include "store/package.h"
#include "stream/package_istream.h"

// Installs the package whose description was just read from stream into
// record: skips the image part, extracts the file archive, checks the
// signature against the level the package must reach and writes the record
// directory. True when everything is staged; false after a reported failure,
// or without a message when the record directory cannot be claimed.
bool install_package(installer_context& ctx, package_record& record, file_manifest& manifest,
                     package_istream& stream);

// Whether an archive entry's name may become an installed file at
// destination: not empty, no byte that the file list (one entry a line) or
// the saved manifest (blank separated) would split, a destination strictly
// inside /flash, without detours, that the system can open, and none of the
// installer's own files (the database, the boot image, the post-install log,
// the markers of a run). The package tool asks the same before it writes an
// entry.
bool is_installable_name(const std::string& name, const std::string& destination);

// Whether a path below /flash (with or without its leading "/") is one the
// installer itself keeps there: the package database, where a package's file
// would replace another package's record files, and the boot image, the
// post-install log and the markers of a run.
bool is_reserved_name(std::string_view name);

// Extracts the regular files of the file archive (the current part) into
// staged files and the record's file list. An archive of more than 2^20
// entries of any kind is a broken package.
bool extract_files(installer_context& ctx, package_record& record, file_manifest& manifest, package_istream& stream);

// Lowers the bound of archive entries per package, so that a test reaches it
// with a small package; 0 restores 2^20.
void set_archive_entry_limit_for_testing(std::uint32_t limit);

// 1 or 2: the signature level a package of that name and version must reach.
int required_signature_level(const std::string& name, std::uint32_t version);

// Whether the record may take its record directory; drops a pending removal.
bool claim_record_directory(const package_record& record, file_manifest& manifest);

// claim_record_directory, then write_record_meta; false as soon as either fails.
bool claim_and_write_meta(installer_context& ctx, const package_record& record, file_manifest& manifest);

// Stages the removal of an installed package: its files, its record
// directory, its package image, and the boot image when nothing else links
// to it; whatever this run staged inside its record directory is dropped.
// Clears the scheduled action and the file list. A file that a record of
// another name lists is left alone: it has moved to another package.
void uninstall_files(installer_context& ctx, package_record& record, file_manifest& manifest);

// The progress line of an installation: "installing ", " (disabled) " for a
// disabled stand-alone package, then the record's message name.
void show_installing(installer_context& ctx, const package_record& record, package_istream& stream);
