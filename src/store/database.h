// The package database: one record directory per installed package under
// /flash/var/pdb/, holding the meta files (the package's description) and the
// state files (enabled or disabled), plus the schedule files other tools
// leave under /ram/pdb/. Everything written here is staged in the file
// manifest; nothing under /flash changes until the manifest is applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "console/context.h"
#include "manifest/manifest.h"
#include "platform/router_paths.h"
#include "store/package.h"

// The most that is read of one file of a record directory or of a schedule
// file; a larger one counts as unreadable. Real ones hold a few lines.
constexpr std::size_t max_meta_file_size = 1u << 20;

// What an installation may write to a package's `files` list, and so what
// is read back of one: an install that would list more is refused, so that
// every list the installer writes can be read by the next run.
constexpr std::size_t max_file_list_size = 4u << 20;
// The most files one package may install: room for a package of 80,000
// small files, while the list's size bound above still keeps what one
// package costs in memory small.
constexpr std::size_t max_package_files = 1u << 17;

// The record's directory: record_directory(record.name).
inline std::string record_directory(const package_record& record) { return record_directory(record.name); }

// The record file beside `files` that keeps, for each file the package
// installed, the CRC-32 of its content and the mode it was installed with, as
// the line "crc32 mode path": eight lower-case hexadecimal digits, the full
// mode (file type too) in six octal digits, and the path as `files` has it. A
// record without one is still whole: its files were installed before the
// installer kept digests, or by a package kept as a second-kind image.
constexpr const char* digest_list_name = "digests";
// "xxxxxxxx 100644 " and the line end: what a line adds to its path.
constexpr std::size_t digest_line_overhead = 17;
// A list of at most max_package_files lines whose paths are within
// max_file_list_size: what the installer writes, and so what is read back.
constexpr std::size_t max_digest_list_size = max_file_list_size + max_package_files * digest_line_overhead;

// What the digest list holds of one file.
struct file_digest {
    std::uint32_t crc = 0;
    std::uint32_t mode = 0;  // st_mode: type and permission bits
};

// The name that installation messages use: a bundle member is reported under
// its bundle's requirement text, any other record under its name-version text.
std::string message_name(const package_record& record);

// "/ram/pdb/" + the name with everything but letters, digits and "-"
// dropped + "/schedule"; empty when nothing of the name is left, since
// "/ram/pdb//schedule" belongs to no package.
std::string schedule_path(const std::string& name);

// Whether the name can stand as one directory entry under /flash/var/pdb/:
// not empty, no leading "." (the loader skips dot-directories), no "/", no
// NUL, no blank and no line end, and not "image" (the stream install's copy).
bool is_valid_record_name(const std::string& name);

// Whether the meta files can hold the record so that it reads back the same:
// requirement and bundle names are single words, file entries hold no line
// end.
bool meta_files_can_hold(const package_record& record);

// Whether no symbolic link stands among the directories below /flash on
// the way to path (path itself too when it ends with "/"): one would carry
// whatever is staged for path, or removed there, to another place, outside
// /flash too. False for a path outside /flash.
// With verified, the directories of the last path that passed (kept there)
// are not looked at again: a package's files share most of theirs.
bool reaches_without_links(const std::string& path, std::string* verified = nullptr);

// Completes a record from its record directory and its schedule file. Meta
// files are read only while the version is 0 (no package image described the
// package); unreadable meta files schedule the record for uninstall. The
// `files` list is read whenever there is one, up to max_file_list_size; one
// that cannot be read marks the record's file list unknown instead (an
// uninstall then keeps the record, which alone knows about the files).
// Other files that are no regular files count as missing; larger ones than
// max_meta_file_size as unreadable.
void load_record_state(package_record& record);

// Reads "name minimum maximum[ precedence]" entries, appending them to list.
// A missing file is an empty list (true); an unreadable one is false; a
// malformed entry stops the reading with false, keeping the entries read
// before it.
bool read_requirement_file(const std::string& path, std::vector<requirement>& list, bool with_precedence);

// Stages path with one line per requirement of list.
bool write_requirement_file(file_manifest& manifest, const std::string& path, const std::vector<requirement>& list,
                            bool with_precedence);

// The digest list of a record directory ("/flash/var/pdb/" + name + "/"),
// path below /flash (with its leading "/") to digest; a later line for the
// same path wins, as the later of two archive entries of one name does. A
// record without one, one too large or unreadable gives an empty map, and
// malformed lines are passed over: such files are checked as if nothing had
// been recorded for them.
std::map<std::string, file_digest> read_digest_list(const std::string& record_dir);

// Stages the record's `files`, entries without their leading "/". A bundle
// has no files of its own and gets none.
bool write_file_list(const package_record& record, file_manifest& manifest);

// Stages the meta files (unless the package is kept as an image or asks for
// none; such a package still gets its `files` when it installed any) and the
// state files of a record. An empty provision or conflict list, or an empty
// bundle reference, stages the removal of the old file. A failure is reported through ctx
// and ends the writing with false; what was staged before it stays staged.
// A record the files could not hold faithfully (a name that is no single
// directory entry, a requirement name that is no single word, a file entry
// with a line end) is reported as a broken package before anything is staged.
bool write_record_meta(installer_context& ctx, const package_record& record, file_manifest& manifest);

// Stage the state files of a disabled or an enabled package and reset the
// scheduled action. The result tells whether the state file that should
// exist afterwards was staged (nothing is staged for a second-kind record or
// for a name that cannot be a record directory); the flags change either way.
bool mark_disabled(package_record& record, file_manifest& manifest);
bool mark_enabled(package_record& record, file_manifest& manifest);

// "installation of %s failed: ..." by the errno current at the call: 28 "disk
// is too small", 5 "disk error", else "could not create <what>: <strerror>".
void creation_failure(installer_context& ctx, const package_record& record, const std::string& what);

// "installation of %s failed: broken package".
void broken_package(installer_context& ctx, const package_record& record);
