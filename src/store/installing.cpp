#include "store/installing.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "console/progress.h"
#include "manifest/file_helpers.h"
#include "platform/probes.h"
#include "platform/router_paths.h"
#include "store/database.h"
#include "store/package_body.h"
#include "store/package_format.h"
#include "store/version_text.h"
#include "stream/inflate_istream.h"

namespace {

constexpr std::uint32_t copy_step = 16384;
// Entries of any kind in one file archive: far more than a package holds, few
// enough that an archive of empty entries ends soon.
constexpr std::uint32_t max_archive_entries = 1u << 20;
std::uint32_t archive_entry_limit = max_archive_entries;

bool read_exactly(std::istream& in, void* out, std::uint32_t n) {
    in.read(static_cast<char*>(out), n);
    return in.gcount() == static_cast<std::streamsize>(n);
}

}  // namespace

bool is_reserved_name(std::string_view name) {
    if (name.starts_with('/')) name.remove_prefix(1);
    // The installer's own paths, as names below flash_root + "/".
    const auto below_flash = [](std::string_view path) { return path.substr(std::string_view(flash_root).size() + 1); };
    for (const char* reserved : {boot_image_path, postlog_path, changed_marker_path, upgraded_marker_path})
        if (name == below_flash(reserved)) return true;
    const std::string_view database = below_flash(database_directory);  // ends with "/"
    return name.starts_with(database) || name == database.substr(0, database.size() - 1);
}

// Whether an archive entry's name may become an installed file: not empty,
// no byte that the file list (one entry a line) or the saved manifest (blank
// separated) would split, a destination strictly inside /flash, without
// detours, that the system can open, and none of the installer's own files.
bool is_installable_name(const std::string& name, const std::string& destination) {
    static const std::string splitting("\0 \t\n\r", 5);
    return !name.empty() && name.find_first_of(splitting) == std::string::npos && destination.size() < PATH_MAX &&
           is_clean_flash_path(destination) && !is_reserved_name(name);
}

namespace {

// Whether size more bytes can still be staged in this run: everything a run
// stages waits on /flash or in /ram until the manifest is applied, so what
// does not fit in both together at the start of the run never will; a file
// that promises more is refused before a byte of it is written. One run per
// process, so the room is measured once.
bool reserve_run_room(std::uint32_t size) {
    static std::uint64_t room = [] {
        std::uint64_t free = 0;
        for (const char* place : {flash_root, ram_directory}) {
            struct statfs fs;
            if (::statfs(place, &fs) != 0) return UINT64_MAX;  // unknown: not limited here
            free += static_cast<std::uint64_t>(fs.f_bsize) * fs.f_bavail;
        }
        return free;
    }();
    if (size > room) return false;
    room -= size;
    return true;
}

// The read, write and execute bits only. Set-user-ID, set-group-ID and
// sticky bits are dropped: the router runs its programs as root and has no
// use for them, and files are staged before the package's signature is
// checked. A file without any of these bits keeps the owner-only mode it was
// created with.
mode_t installed_mode(std::uint16_t mode) { return mode & 0777; }

// The mode an installed file has: a regular file with the package's bits, or
// with the owner-only bits of a new staged file when the package gives none.
std::uint32_t full_mode(std::uint16_t mode) { return S_IFREG | (installed_mode(mode) != 0 ? installed_mode(mode) : 0600); }

// The digest list's line for a file, as read_digest_list takes it back.
void write_digest_line(disk_ostream& out, std::uint32_t crc, std::uint16_t mode, const std::string& listed) {
    char head[digest_line_overhead + 1];
    std::snprintf(head, sizeof head, "%08x %06o ", static_cast<unsigned>(crc), static_cast<unsigned>(full_mode(mode)));
    out.write(head, digest_line_overhead - 1).write(listed.data() + 1, static_cast<std::streamsize>(listed.size() - 1));
    out.put('\n');
}

// Whether a path below /flash now belongs to another package: a record of
// another name lists it, or the namesake of a second-kind record (another
// record of the same name and kind is the same package, an image of it in
// both image places). A file that moved to another package in
// this run is then left to its new owner, whose staged copy must survive.
bool taken_by_another(const installer_context& ctx, const package_record& record, const std::string& entry) {
    for (const auto& other : ctx.packages)
        if (other.get() != &record && (other->name != record.name || other->second_kind != record.second_kind) &&
            other->files.count(entry) != 0)
            return true;
    return false;
}

// Whether path and a file already listed would need one name as a file and
// as a directory ("a" and "a/b"): one of the two could never be installed.
bool is_file_and_directory(const path_set& files, const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (files.count(std::string_view(path).substr(0, slash)) != 0) return true;
    return files.has_prefix(path + "/");
}

// The installation's own work at the steps of a package's body.
struct installing_reader : package_body_reader {
    installer_context& ctx;
    package_record& record;
    file_manifest& manifest;
    installing_reader(installer_context& c, package_record& r, file_manifest& m) : ctx(c), record(r), manifest(m) {}

    void image_step(package_istream& stream) override { show_installing(ctx, record, stream); }
    bool file_archive(package_istream& stream) override {
        // With a boot image requested, the boot package's files come with it.
        return (boot_image_requested() && record.is_boot_package()) || extract_files(ctx, record, manifest, stream);
    }
    void signature_checked(package_istream&, int) override {}
};

}  // namespace

void set_archive_entry_limit_for_testing(std::uint32_t limit) {
    archive_entry_limit = limit == 0 ? max_archive_entries : limit;
}

bool install_package(installer_context& ctx, package_record& record, file_manifest& manifest, package_istream& stream) {
    show_installing(ctx, record, stream);
    // The name becomes a path component under /flash (the record directory,
    // the root of a disabled package's files); one that is no single
    // directory entry is refused before anything is staged for it.
    if (!is_valid_record_name(record.name)) {
        broken_package(ctx, record);
        return false;
    }
    const bool second_kind = stream.has_second_magic();
    record.second_kind = second_kind;
    if (!second_kind && !claim_record_directory(record, manifest)) return false;
    // A link on the way to the record directory would carry the record's
    // files elsewhere, outside /flash too.
    if (!second_kind && !reaches_without_links(record_directory(record))) {
        broken_package(ctx, record);
        return false;
    }

    // A digest list of an earlier version goes unless this one's archive
    // brings a new one: the files it describes may no longer be there.
    const std::string digest_path = record_directory(record) + digest_list_name;
    struct stat old_digests;
    if (!second_kind && ::lstat(digest_path.c_str(), &old_digests) == 0) stage_remove(manifest, digest_path);

    const bool stands_alone = record.bundle_reference.name.empty();
    installing_reader reader{ctx, record, manifest};
    switch (read_package_body(stream, reader, required_signature_level(record.name, record.version), stands_alone)) {
    case body_read::whole:
        break;
    case body_read::archive_failed:
        return false;
    case body_read::broken:
        broken_package(ctx, record);
        return false;
    }

    if (!second_kind && !write_record_meta(ctx, record, manifest)) return false;

    if (record.is_boot_package() || record.name == branding_name) {
        // Staged empty: the marker appears when the manifest is applied.
        disk_ostream marker;
        stage_new_file(marker, manifest, upgraded_marker_path, 1, 0);
    }

    if (!stands_alone) return true;
    show_status(ctx, "");
    report_info(ctx, "installed %s%s", record.disabled ? "(disabled) " : "", name_version_text(record).c_str());
    return true;
}

bool extract_files(installer_context& ctx, package_record& record, file_manifest& manifest, package_istream& stream) {
    inflate_istream inflated(stream);
    const std::string root = record.disabled ? disabled_root + record.name : flash_root;
    const unsigned variant = board_variant();
    char buffer[copy_step];
    std::string verified;  // the directories of the last file, known to be plain
    // Bytes of the `files` list that this package's entries make, and the
    // regular entries staged (a repeated name too: each makes a line of the
    // digest list).
    std::size_t list_bytes = 0;
    std::size_t staged = 0;
    // The digest of each file, written as the file is: the list is never
    // held in memory. A second-kind package has no record directory for it.
    disk_ostream digests;
    if (!record.second_kind) {
        stage_new_file(digests, manifest, record_directory(record) + digest_list_name, 4096, 0);
        if (!digests.is_open()) {
            creation_failure(ctx, record, std::string("meta/") + digest_list_name);
            return false;
        }
    }
    for (std::uint32_t entries = 0;; ++entries) {
        unsigned char header[file_entry_header_size];
        if (inflated.fail() || !read_exactly(inflated, header, sizeof header)) {
            if (record.second_kind) return true;
            digests.close();
            if (!digests.fail()) return true;
            creation_failure(ctx, record, std::string("meta/") + digest_list_name);
            return false;
        }
        if (entries == archive_entry_limit) {
            broken_package(ctx, record);
            return false;
        }
        const file_entry entry = parse_file_entry_header(header);
        std::string name(entry.name_length, '\0');
        if (!read_exactly(inflated, name.data(), entry.name_length)) {
            broken_package(ctx, record);
            return false;
        }
        if (!entry.is_regular() || (entry.processor_class != 0 && entry.processor_class != variant)) {
            inflated.seekg(entry.size, std::ios_base::cur);
            continue;
        }

        // Files are staged before the signature is checked: a name that would
        // land outside /flash, on /flash itself, or that the file list and the
        // saved manifest could not hold as one path is refused before
        // anything of the entry is staged; so is one that a symbolic link
        // already on flash would carry elsewhere.
        const std::string destination = root + (name.starts_with('/') ? "" : "/") + name;
        if (!is_installable_name(name, destination) || !reaches_without_links(destination, &verified)) {
            broken_package(ctx, record);
            return false;
        }

        const std::string listed = destination.substr(std::string_view(flash_root).size());
        if (is_file_and_directory(record.files, listed)) {
            broken_package(ctx, record);
            return false;
        }
        // No more files, and no longer list of them, than the record
        // directory's `files` and digest list can hold for the next run to
        // read back.
        list_bytes += destination.size() - std::string_view(flash_root).size();
        if (staged++ == max_package_files || list_bytes > max_file_list_size) {
            broken_package(ctx, record);
            return false;
        }
        if (!reserve_run_room(entry.size)) {
            errno = ENOSPC;
            creation_failure(ctx, record, name);
            return false;
        }

        disk_ostream out;
        stage_new_file(out, manifest, destination, entry.size, installed_mode(entry.mode));
        if (!out.is_open()) {
            creation_failure(ctx, record, name);
            return false;
        }
        // The path below /flash, so that uninstall_files removes exactly
        // what was staged here.
        record.files.insert(listed);

        uLong crc = crc32(0, Z_NULL, 0);
        for (std::uint32_t left = entry.size; left != 0;) {
            const std::uint32_t want = std::min<std::uint32_t>(left, copy_step);
            if (!read_exactly(inflated, buffer, want)) {
                broken_package(ctx, record);
                return false;
            }
            if (!out.write(buffer, want)) {
                creation_failure(ctx, record, name);
                return false;
            }
            crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer), want);
            left -= want;
        }
        // A write that fails for lack of room may show up only at the flush.
        out.close();
        if (out.fail()) {
            creation_failure(ctx, record, name);
            return false;
        }
        if (!record.second_kind) write_digest_line(digests, static_cast<std::uint32_t>(crc), entry.mode, listed);
        show_installing(ctx, record, stream);
    }
}

int required_signature_level(const std::string& name, std::uint32_t version) {
    struct stat st;
    if (::stat(secure_marker_path, &st) == 0) return 2;
    if (name == branding_name) return 1;
    // Ranges of version numbers, each up to and including its bound.
    static constexpr struct {
        std::uint32_t up_to;
        int level;
    } ranges[] = {
        {0x062E6608, 1},  // up to 6.46.8
        {0x062EFFFF, 2},  // the rest of 6.46
        {0x06306600, 1},  // 6.47, and 6.48 up to its final release
        {0x06FFFFFF, 2},  // the rest of 6.x
        {0x07016203, 1},  // 7.0 up to 7.1beta3
    };
    for (const auto& range : ranges)
        if (version <= range.up_to) return range.level;
    return 2;
}

bool claim_record_directory(const package_record& record, file_manifest& manifest) {
    return claim_path(manifest, record_directory(record));
}

bool claim_and_write_meta(installer_context& ctx, const package_record& record, file_manifest& manifest) {
    return claim_record_directory(record, manifest) && write_record_meta(ctx, record, manifest);
}

void uninstall_files(installer_context& ctx, package_record& record, file_manifest& manifest) {
    // Entries of a files list that would lead out of /flash (a hostile or
    // damaged database, or a symbolic link on the way) are never removed.
    std::string verified;
    for (const std::string& entry : record.files)
        if (is_clean_flash_path(flash_root + entry) && reaches_without_links(flash_root + entry, &verified) &&
            !taken_by_another(ctx, record, entry))
            stage_remove(manifest, flash_root + entry);
    record.files.clear();
    // A name that is no record directory (the unnamed default-disable
    // markers) must not turn into a removal of the database itself; a record
    // whose file list could not be read is all that knows of its files.
    if (is_valid_record_name(record.name) && !record.second_kind && !record.file_list_unknown) {
        const std::string dir = record_directory(record);
        // What this run staged for the record (its meta and state files, its
        // image) would bring it back at the next start.
        unstage_below(manifest, dir);
        if (reaches_without_links(dir)) {
            stage_remove(manifest, dir);
            stage_remove(manifest, dir + "image");
        } else if (const std::string link = dir.substr(0, dir.size() - 1); reaches_without_links(link)) {
            stage_remove(manifest, link);  // the link goes, never what it leads to
        }
    }
    struct stat st;
    if (record.is_boot_package() && ::stat(boot_image_path, &st) == 0 && st.st_nlink == 1)
        stage_remove(manifest, boot_image_path);
    record.scheduled_action = action_none;
}

void show_installing(installer_context& ctx, const package_record& record, package_istream& stream) {
    std::string prefix = "installing ";
    if (record.disabled && record.bundle_reference.name.empty()) prefix += " (disabled) ";
    show_progress(ctx, stream, prefix + message_name(record));
}
