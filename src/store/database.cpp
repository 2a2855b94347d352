#include "store/database.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/regular_file.h"
#include "store/version_text.h"

namespace {

// Unsigned decimal digits only, within 32 bits. A sign or trailing garbage
// makes a corrupt number rather than a wrapped or truncated one: "-1" must
// not turn a version into the placeholder value.
bool parse_unsigned(const std::string& word, std::uint32_t& value) {
    if (word.empty()) return false;
    std::uint64_t result = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > 0xFFFFFFFFu) return false;
    }
    value = static_cast<std::uint32_t>(result);
    return true;
}

bool parse_signed(const std::string& word, std::int32_t& value) {
    bool negative = !word.empty() && word[0] == '-';
    std::uint32_t magnitude = 0;
    if (!parse_unsigned(negative ? word.substr(1) : word, magnitude)) return false;
    if (negative) {
        if (magnitude > 0x80000000u) return false;
        value = static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
    } else {
        if (magnitude > 0x7FFFFFFFu) return false;
        value = static_cast<std::int32_t>(magnitude);
    }
    return true;
}

bool read_unsigned(std::istream& in, std::uint32_t& value) {
    std::string word;
    return static_cast<bool>(in >> word) && parse_unsigned(word, value);
}

bool read_signed(std::istream& in, std::int32_t& value) {
    std::string word;
    return static_cast<bool>(in >> word) && parse_signed(word, value);
}

// A file of the database or a schedule file, read whole within the cap.
small_file_result read_meta_file(const std::string& path, std::istringstream& in,
                                 std::size_t cap = max_meta_file_size) {
    std::string text;
    small_file_result result = read_small_file(path, cap, text);
    in.str(std::move(text));
    return result;
}

// The first blank-separated word of a file; empty when there is none.
std::string first_word(std::istringstream& in) {
    std::string word;
    if (!(in >> word)) return "";
    return word;
}

// A word as the readers take it back: not empty and without blanks or line
// ends, or the entries after it would be read out of step.
bool is_word(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (std::isspace(static_cast<unsigned char>(c)) || c == '\0') return false;
    return true;
}

bool all_words(const std::vector<requirement>& list) {
    for (const requirement& req : list)
        if (!is_word(req.name)) return false;
    return true;
}

// A file entry with a line end would come back as two entries, and
// uninstalling would then remove a file the package never installed.
bool files_can_hold(const package_record& record) {
    for (const std::string& entry : record.files)
        if (entry.find('\n') != std::string::npos) return false;
    return true;
}

}  // namespace

// Whether the meta files can hold the record so that it reads back the same.
bool meta_files_can_hold(const package_record& record) {
    if (!all_words(record.dependencies) || !all_words(record.provisions) || !all_words(record.conflicts))
        return false;
    if (!record.bundle_reference.name.empty() && !is_word(record.bundle_reference.name)) return false;
    return files_can_hold(record);
}

namespace {

const char* state_word(const package_record& record) { return record.user_set ? "user" : "auto"; }

// Closing flushes the buffer: a write that fails for lack of room shows up
// only then, so the stream is judged after the close, not before it.
bool close_good(disk_ostream& out) {
    out.close();
    return !out.fail();
}

bool stage_text(file_manifest& manifest, const std::string& path, std::uint32_t size, const std::string& text) {
    disk_ostream out;
    stage_new_file(out, manifest, path, size, 0);
    out << text;
    return close_good(out);
}

// Whether a file of the record directory was staged; reports the failure
// when it was not (what names the file: "meta/deps"). Called with the
// staging's result, so that errno is still the staging's own.
bool staged_or_reported(installer_context& ctx, const package_record& record, const char* what, bool staged) {
    if (!staged) creation_failure(ctx, record, what);
    return staged;
}

// Entries of `files` with their leading "/" put back; none when the file is
// missing or cannot be read whole.
small_file_result read_file_list(package_record& record, const std::string& dir) {
    std::istringstream files;
    small_file_result found = read_meta_file(dir + "files", files, max_file_list_size);
    std::string line;
    while (std::getline(files, line)) {
        if (line.empty()) continue;
        record.files.insert(line[0] == '/' ? line : "/" + line);
    }
    return found;
}

// A number of exactly digits digits in base (16 or 8).
bool parse_fixed(const std::string& line, std::size_t at, std::size_t digits, unsigned base, std::uint32_t& value) {
    if (line.size() < at + digits) return false;
    value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        const char c = line[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else return false;
        if (digit >= base) return false;
        value = value * base + digit;
    }
    return true;
}

void read_meta_files(package_record& record, const std::string& dir) {
    {
        std::istringstream in;
        read_meta_file(dir + "version", in);
        // Each number is kept as soon as it is read, as a stream extraction
        // would; a file that does not hold both schedules the uninstall.
        if (!read_unsigned(in, record.version) || !read_unsigned(in, record.build_time))
            record.scheduled_action = action_uninstall;
    }
    if (!read_requirement_file(dir + "deps", record.dependencies, false)) record.scheduled_action = action_uninstall;
    if (!read_requirement_file(dir + "provides", record.provisions, true)) record.scheduled_action = action_uninstall;
    if (!read_requirement_file(dir + "conflicts", record.conflicts, false)) record.scheduled_action = action_uninstall;

    // A member whose bundle did not bring it back as part of its image has
    // lost its bundle, so it goes.
    std::istringstream bundle_file;
    if (read_meta_file(dir + "bundle", bundle_file) == small_file_result::unreadable)
        record.scheduled_action = action_uninstall;
    std::string bundle = first_word(bundle_file);
    if (!bundle.empty()) {
        record.bundle_reference = requirement{bundle, 0, 0, 0};
        record.scheduled_action = action_uninstall;
    }

    small_file_result files = read_file_list(record, dir);
    if (files == small_file_result::missing) record.bundle = true;
    // A list that cannot be read whole is not taken in part, and the
    // package is not uninstalled for it: its files would stay on flash,
    // listed by no record.
    if (files == small_file_result::unreadable) record.file_list_unknown = true;
}

}  // namespace

std::string message_name(const package_record& record) {
    if (!record.bundle_reference.name.empty()) return requirement_text(record.bundle_reference);
    return name_version_text(record);
}

std::string schedule_path(const std::string& name) {
    std::string kept;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') kept += c;
    if (kept.empty()) return "";
    return schedule_directory + kept + "/schedule";
}

bool is_valid_record_name(const std::string& name) {
    // A leading "." also covers "." and "..": such a directory would be
    // passed over when the database is loaded, and its package lost. A blank
    // or a line end would split the name in the saved manifest and in the
    // files that name packages by a word.
    if (name.empty() || name[0] == '.') return false;
    // The stream install copies its package to /flash/var/pdb/image: a
    // record directory of that name would stand in its way, and the copy in
    // the record's.
    if (name == "image") return false;
    for (char c : name)
        if (c == '/' || c == '\0' || std::isspace(static_cast<unsigned char>(c))) return false;
    return true;
}

bool reaches_without_links(const std::string& path, std::string* verified) {
    if (!is_below_flash(path)) return false;
    const std::size_t below_root = std::string_view(flash_root).size() + 1;
    // The directories that path shares with the last one that passed.
    std::size_t common = 0;
    if (verified)
        common = std::mismatch(path.begin(), path.end(), verified->begin(), verified->end()).first - path.begin();
    for (std::size_t slash = path.find('/', below_root); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (verified && slash <= common && (slash < common || common == verified->size())) continue;
        struct stat st;
        if (::lstat(path.substr(0, slash).c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            break;  // nothing below a missing directory exists either
        }
        if (S_ISLNK(st.st_mode)) return false;
        if (!S_ISDIR(st.st_mode)) break;  // staging below a file fails on its own
    }
    if (verified) verified->assign(path, 0, path.rfind('/'));
    return true;
}

void load_record_state(package_record& record) {
    const std::string dir = record_directory(record);
    // A package described by its image (a bundle member among them) still
    // lists the files it installed, or uninstalling it would leave them.
    if (record.version == 0)
        read_meta_files(record, dir);
    else
        read_file_list(record, dir);

    record.user_set = false;
    std::istringstream disabled;
    if (read_meta_file(dir + "disabled", disabled) != small_file_result::missing) {
        record.disabled = true;
        std::string line;
        std::getline(disabled, line);
        record.user_set = line != "auto";
    } else {
        record.disabled = false;
    }
    std::istringstream enabled;
    if (!record.disabled && read_meta_file(dir + "enabled", enabled) != small_file_result::missing)
        record.user_set = true;

    if (record.is_placeholder()) return;

    std::string path = schedule_path(record.name);
    if (path.empty()) return;
    std::istringstream schedule;
    read_meta_file(path, schedule);
    std::string word = first_word(schedule);
    if (word == "uninstall") {
        record.scheduled_action = action_uninstall;
    } else if (word == "enable") {
        record.scheduled_action = action_enable;
        record.user_set = true;
    } else if (word == "disable") {
        record.scheduled_action = action_disable;
        record.user_set = true;
    }
}

bool read_requirement_file(const std::string& path, std::vector<requirement>& list, bool with_precedence) {
    std::istringstream in;
    if (read_meta_file(path, in) == small_file_result::unreadable) return false;
    while (true) {
        requirement req;
        if (!(in >> req.name)) return true;
        if (!read_unsigned(in, req.minimum) || !read_unsigned(in, req.maximum)) return false;
        if (with_precedence && !read_signed(in, req.precedence)) return false;
        list.push_back(std::move(req));
    }
}

bool write_requirement_file(file_manifest& manifest, const std::string& path, const std::vector<requirement>& list,
                            bool with_precedence) {
    std::ostringstream text;
    for (const requirement& req : list) {
        text << req.name << ' ' << req.minimum << ' ' << req.maximum;
        if (with_precedence) text << ' ' << req.precedence;
        text << '\n';
    }
    return stage_text(manifest, path, 1024, text.str());
}

std::map<std::string, file_digest> read_digest_list(const std::string& record_dir) {
    std::map<std::string, file_digest> digests;
    std::istringstream in;
    if (read_meta_file(record_dir + digest_list_name, in, max_digest_list_size) != small_file_result::read)
        return digests;
    for (std::string line; std::getline(in, line);) {
        file_digest digest;
        constexpr std::size_t path_at = digest_line_overhead - 1;
        if (line.size() <= path_at || line[8] != ' ' || line[15] != ' ' || !parse_fixed(line, 0, 8, 16, digest.crc) ||
            !parse_fixed(line, 9, 6, 8, digest.mode))
            continue;
        std::string path = line.substr(path_at);
        digests[path[0] == '/' ? path : "/" + path] = digest;
    }
    return digests;
}

bool write_file_list(const package_record& record, file_manifest& manifest) {
    if (record.bundle) return true;
    // Written entry by entry: the list of a package of many files is never
    // held in memory a second time.
    disk_ostream out;
    stage_new_file(out, manifest, record_directory(record) + "files", 4096, 0);
    for (const std::string& entry : record.files) {
        if (entry.empty()) continue;
        const std::size_t skip = entry[0] == '/' ? 1 : 0;
        out.write(entry.data() + skip, static_cast<std::streamsize>(entry.size() - skip)).put('\n');
    }
    return close_good(out);
}

bool write_record_meta(installer_context& ctx, const package_record& record, file_manifest& manifest) {
    // The name becomes a path component under /flash: one that would climb
    // out of the database or land on the database itself is refused, and so
    // is a record directory that a symbolic link would carry elsewhere.
    if (!is_valid_record_name(record.name) || !reaches_without_links(record_directory(record))) {
        broken_package(ctx, record);
        return false;
    }
    const std::string dir = record_directory(record);
    if (!record.image && (record.header_flags & header_flag_no_meta) == 0) {
        if (!meta_files_can_hold(record)) {
            broken_package(ctx, record);
            return false;
        }
        const std::string version = std::to_string(record.version) + " " + std::to_string(record.build_time) + "\n";
        if (!staged_or_reported(ctx, record, "meta/version", stage_text(manifest, dir + "version", 32, version)))
            return false;
        if (!staged_or_reported(ctx, record, "meta/deps",
                                write_requirement_file(manifest, dir + "deps", record.dependencies, false)))
            return false;
        // An empty list removes the old version's file: claiming the record
        // directory dropped its pending removal, and the next run would
        // otherwise obey provisions and conflicts no longer declared.
        if (record.provisions.empty()) {
            stage_remove(manifest, dir + "provides");
        } else if (!staged_or_reported(ctx, record, "meta/provides",
                                       write_requirement_file(manifest, dir + "provides", record.provisions, true))) {
            return false;
        }
        if (record.conflicts.empty()) {
            stage_remove(manifest, dir + "conflicts");
        } else if (!staged_or_reported(ctx, record, "meta/conflicts",
                                       write_requirement_file(manifest, dir + "conflicts", record.conflicts, false))) {
            return false;
        }
        if (record.bundle_reference.name.empty()) {
            stage_remove(manifest, dir + "bundle");
        } else if (!staged_or_reported(ctx, record, "meta/bundle",
                                       stage_text(manifest, dir + "bundle", 16, record.bundle_reference.name + "\n"))) {
            return false;
        }
        if (!staged_or_reported(ctx, record, "meta/files", write_file_list(record, manifest))) return false;
    } else if (record.files.empty()) {
        stage_remove(manifest, dir + "files");
    } else {
        // A package kept as an image, or one without meta files, still lists
        // the files it installed, so that uninstalling it removes them.
        if (!files_can_hold(record)) {
            broken_package(ctx, record);
            return false;
        }
        if (!staged_or_reported(ctx, record, "meta/files", write_file_list(record, manifest))) return false;
    }

    // A lost state file would silently flip the package between enabled
    // and disabled on the next start, so these failures count as well.
    if (record.disabled) {
        if (!staged_or_reported(ctx, record, "state/disabled",
                                stage_text(manifest, dir + "disabled", 8, std::string(state_word(record)) + "\n")))
            return false;
    } else {
        stage_remove(manifest, dir + "disabled");
    }
    if (!record.disabled && record.user_set) {
        if (!staged_or_reported(ctx, record, "state/enabled", stage_text(manifest, dir + "enabled", 8, "user\n")))
            return false;
    } else {
        stage_remove(manifest, dir + "enabled");
    }
    return true;
}

bool mark_disabled(package_record& record, file_manifest& manifest) {
    bool good = false;
    if (is_valid_record_name(record.name) && !record.second_kind &&
        reaches_without_links(record_directory(record))) {
        const std::string dir = record_directory(record);
        stage_remove(manifest, dir + "enabled");
        good = stage_text(manifest, dir + "disabled", 8, std::string(state_word(record)) + "\n");
    }
    record.disabled = true;
    record.scheduled_action = action_none;
    return good;
}

bool mark_enabled(package_record& record, file_manifest& manifest) {
    bool good = false;
    if (is_valid_record_name(record.name) && !record.second_kind &&
        reaches_without_links(record_directory(record))) {
        const std::string dir = record_directory(record);
        stage_remove(manifest, dir + "disabled");
        good = true;
        if (record.user_set)
            good = stage_text(manifest, dir + "enabled", 8, "user\n");
        else
            stage_remove(manifest, dir + "enabled");
    }
    record.disabled = false;
    record.scheduled_action = action_none;
    return good;
}

void creation_failure(installer_context& ctx, const package_record& record, const std::string& what) {
    // Taken first: building the message may itself change errno.
    int error = errno;
    std::string name = message_name(record);
    if (error == ENOSPC)
        report_error(ctx, "installation of %s failed: disk is too small", name.c_str());
    else if (error == EIO)
        report_error(ctx, "installation of %s failed: disk error", name.c_str());
    else
        report_error(ctx, "installation of %s failed: could not create %s: %s", name.c_str(), what.c_str(),
                     std::strerror(error));
}

void broken_package(installer_context& ctx, const package_record& record) {
    report_error(ctx, "installation of %s failed: broken package", message_name(record).c_str());
}
