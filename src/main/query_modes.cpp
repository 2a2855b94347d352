#include "main/query_modes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "console/json_writer.h"
#include "console/package_table.h"
#include "console/printable.h"
#include "main/exit_status.h"
#include "manifest/file_helpers.h"
#include "manifest/manifest.h"
#include "platform/router_paths.h"
#include "store/database.h"
#include "store/installing.h"
#include "store/version_text.h"

namespace {

void write_out(installer_context& ctx, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), ctx.out);
    std::fflush(ctx.out);
}

void write_record(json_writer& json, const package_record& record, bool with_files) {
    json.begin_object();
    json.key("name");
    json.string(record.name);
    json.key("version");
    json.string(format_version(record.version));
    json.key("version_number");
    json.number(record.version);
    json.key("build_time");
    json.string(build_time_iso8601(record.build_time));
    json.key("build_time_number");
    json.number(record.build_time);
    json.key("disabled");
    json.boolean(record.disabled);
    json.key("user_set");
    json.boolean(record.user_set);
    json.key("bundle");
    if (record.bundle_reference.name.empty()) json.null();
    else json.string(record.bundle_reference.name);
    json.key("image");
    json.boolean(record.image);
    json.key("scheduled");
    if (record.scheduled_action == action_none) json.null();
    else json.string(action_word(record.scheduled_action));
    json.key("note");
    json.string(record.note);
    if (with_files) {
        json.key("files");
        json.begin_array();
        for (const std::string& entry : record.files) json.string(flash_root + entry);
        json.end_array();
    }
    json.end_object();
}

int show_json(installer_context& ctx) {
    json_writer json;
    json.begin_object();
    json.key("packages");
    json.begin_array();
    for (const auto& record : ctx.packages) write_record(json, *record, false);
    json.end_array();
    json.end_object();
    write_out(ctx, json.text());
    return exit_code(exit_status::success);
}

int list_files(installer_context& ctx, const query_options& query) {
    const package_record* record = find_package(ctx, query.argument);
    if (record == nullptr) {
        report_error(ctx, "package %s is not installed", printable(query.argument).c_str());
        return exit_code(exit_status::failed);
    }
    if (query.json) {
        json_writer json;
        write_record(json, *record, true);
        write_out(ctx, json.text());
        return exit_code(exit_status::success);
    }
    // A path with a line end would read as two files.
    std::string text;
    for (const std::string& entry : record->files) text += printable(flash_root + entry) + "\n";
    write_out(ctx, text);
    return exit_code(exit_status::success);
}

int find_owner(installer_context& ctx, const query_options& query) {
    const std::string& path = query.argument;
    std::vector<const package_record*> owners;
    if (is_below_flash(path)) {
        const std::string entry = path.substr(std::strlen(flash_root));
        for (const auto& record : ctx.packages)
            if (record->files.count(entry) != 0) owners.push_back(record.get());
    }
    if (query.json) {
        json_writer json;
        json.begin_object();
        json.key("path");
        json.string(path);
        json.key("packages");
        json.begin_array();
        for (const package_record* record : owners) write_record(json, *record, false);
        json.end_array();
        json.end_object();
        write_out(ctx, json.text());
    } else if (owners.empty()) {
        report_error(ctx, "no package lists %s", printable(path).c_str());
    } else {
        std::string text;
        for (const package_record* record : owners) text += printable(record->name) + "\n";
        write_out(ctx, text);
    }
    return owners.empty() ? exit_code(exit_status::failed) : exit_code(exit_status::success);
}

struct finding {
    const package_record* record;  // none for a file that no package lists
    std::string path;
    // "missing", "not a regular file", "changed mode", "changed content",
    // "unreadable", "not below /flash", "unlisted"
    const char* what;
    std::string mode = "";            // in octal, for a changed mode
    std::string installed_mode = "";  // the mode it was installed with, where recorded
};

std::string octal_mode(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The CRC-32 of a file's content; false when it cannot be read whole. A
// link in its place is not followed.
bool file_crc32(const std::string& path, std::uint32_t& crc) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    uLong sum = crc32(0, Z_NULL, 0);
    unsigned char buffer[16384];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) sum = crc32(sum, buffer, static_cast<uInt>(got));
    ::close(fd);
    crc = static_cast<std::uint32_t>(sum);
    return got == 0;
}

// Every file the record lists: there, a regular file, and with the mode and
// content it was installed with where the record keeps them; without them,
// the installer's own rule stands: permission bits from the package, never
// set-id or sticky bits.
void audit_record(const package_record& record, std::vector<finding>& findings) {
    // A second-kind record shares its name, and so the record directory,
    // with the package of the first kind.
    const std::map<std::string, file_digest> digests =
        record.second_kind ? std::map<std::string, file_digest>{} : read_digest_list(record_directory(record));
    for (const std::string& entry : record.files) {
        const std::string path = flash_root + entry;
        struct stat info {};
        // A damaged or hostile file list must not send the audit elsewhere.
        if (!is_clean_flash_path(path)) {
            findings.push_back({&record, path, "not below /flash"});
            continue;
        }
        if (::lstat(path.c_str(), &info) != 0) {
            findings.push_back({&record, path, "missing"});
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            findings.push_back({&record, path, "not a regular file"});
            continue;
        }
        const auto recorded = digests.find(entry);
        if (recorded == digests.end()) {
            if ((info.st_mode & 07000) != 0) findings.push_back({&record, path, "changed mode", octal_mode(info.st_mode)});
            continue;
        }
        const file_digest& digest = recorded->second;
        if ((info.st_mode & (S_IFMT | 07777)) != digest.mode)
            findings.push_back({&record, path, "changed mode", octal_mode(info.st_mode), octal_mode(digest.mode)});
        std::uint32_t crc = 0;
        if (!file_crc32(path, crc)) findings.push_back({&record, path, "unreadable"});
        else if (crc != digest.crc) findings.push_back({&record, path, "changed content"});
    }
}

bool listed_by_any(const installer_context& ctx, const std::string& entry) {
    for (const auto& record : ctx.packages)
        if (record->files.count(entry) != 0) return true;
    return false;
}

// The package directories of the records: the directories their files live
// in, each taken alone (a subdirectory is one only when files are listed in
// it), without the package database and without a directory that a link on
// the way would carry elsewhere. What is in them and is no directory, no
// file of the installer's own and no file staged by a run, yet no package
// lists, is reported. (The caller passes every record, or the one asked for.)
void audit_unlisted(const installer_context& ctx, const std::vector<const package_record*>& records,
                    std::vector<finding>& findings) {
    std::set<std::string> directories;
    for (const package_record* record : records)
        for (const std::string& entry : record->files) {
            const std::string dir = entry.substr(0, entry.rfind('/'));
            if (is_clean_flash_path(flash_root + entry) && !is_reserved_name(dir)) directories.insert(dir);
        }
    for (const std::string& dir : directories) {
        const std::string path = flash_root + dir;
        if (!reaches_without_links(path + "/")) continue;
        DIR* listing = ::opendir(path.c_str());
        if (listing == nullptr) continue;
        std::set<std::string> unlisted;  // reported in order of their names
        while (const dirent* item = ::readdir(listing)) {
            const std::string entry = dir + "/" + item->d_name;
            struct stat info {};
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0 ||
                ::lstat((flash_root + entry).c_str(), &info) != 0 || S_ISDIR(info.st_mode) ||
                is_reserved_name(entry) || is_temporary_name(entry) || listed_by_any(ctx, entry))
                continue;
            unlisted.insert(flash_root + entry);
        }
        ::closedir(listing);
        for (const std::string& file : unlisted) findings.push_back({nullptr, file, "unlisted"});
    }
}

int audit(installer_context& ctx, const query_options& query) {
    std::vector<const package_record*> records;
    if (query.argument.empty()) {
        for (const auto& record : ctx.packages) records.push_back(record.get());
    } else if (const package_record* record = find_package(ctx, query.argument)) {
        records.push_back(record);
    } else {
        report_error(ctx, "package %s is not installed", printable(query.argument).c_str());
        return exit_code(exit_status::failed);
    }
    std::vector<finding> findings;
    for (const package_record* record : records) audit_record(*record, findings);
    audit_unlisted(ctx, records, findings);
    if (query.json) {
        json_writer json;
        json.begin_object();
        json.key("findings");
        json.begin_array();
        for (const finding& f : findings) {
            json.begin_object();
            json.key("package");
            if (f.record) json.string(f.record->name);
            else json.null();
            json.key("path");
            json.string(f.path);
            json.key("finding");
            json.string(f.what);
            if (!f.mode.empty()) {
                json.key("mode");
                json.string(f.mode);
            }
            if (!f.installed_mode.empty()) {
                json.key("installed_mode");
                json.string(f.installed_mode);
            }
            json.end_object();
        }
        json.end_array();
        json.end_object();
        write_out(ctx, json.text());
    } else {
        // "package: finding[ mode] path", or "no package lists path".
        std::string text;
        for (const finding& f : findings) {
            if (f.record == nullptr) {
                text += "no package lists " + printable(f.path) + "\n";
                continue;
            }
            text += printable(f.record->name) + ": " + f.what + (f.mode.empty() ? "" : " ") + f.mode + " " +
                printable(f.path) + "\n";
        }
        write_out(ctx, text);
    }
    return findings.empty() ? exit_code(exit_status::success) : exit_code(exit_status::failed);
}

}  // namespace

bool take_query_option(int argc, char** argv, int& i, query_options& query) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--json") == 0) {
        query.json = true;
        return true;
    }
    if (std::strcmp(arg, "--audit") == 0) {
        query.mode = query_mode::audit;
        query.argument = i + 1 < argc && argv[i + 1][0] != '-' ? argv[++i] : "";
        return true;
    }
    const bool files = std::strcmp(arg, "--files") == 0;
    if ((!files && std::strcmp(arg, "--owner") != 0) || i + 1 >= argc) return false;
    query.mode = files ? query_mode::files : query_mode::owner;
    query.argument = argv[++i];
    return true;
}

bool is_query(const query_options& query, bool show) {
    return query.mode != query_mode::none || (query.json && show);
}

int run_query(installer_context& ctx, const query_options& query) {
    switch (query.mode) {
    case query_mode::files:
        return list_files(ctx, query);
    case query_mode::owner:
        return find_owner(ctx, query);
    case query_mode::audit:
        return audit(ctx, query);
    case query_mode::none:
        break;
    }
    return show_json(ctx);
}
