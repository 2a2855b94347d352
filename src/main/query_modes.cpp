#include "main/query_modes.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "console/json_writer.h"
#include "console/package_table.h"
#include "console/printable.h"
#include "manifest/file_helpers.h"
#include "platform/router_paths.h"
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
    return 0;
}

int list_files(installer_context& ctx, const query_options& query) {
    const package_record* record = find_package(ctx, query.argument);
    if (record == nullptr) {
        report_error(ctx, "package %s is not installed", printable(query.argument).c_str());
        return 1;
    }
    if (query.json) {
        json_writer json;
        write_record(json, *record, true);
        write_out(ctx, json.text());
        return 0;
    }
    // A path with a line end would read as two files.
    std::string text;
    for (const std::string& entry : record->files) text += printable(flash_root + entry) + "\n";
    write_out(ctx, text);
    return 0;
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
    return owners.empty() ? 1 : 0;
}

struct finding {
    const package_record* record;
    std::string path;
    const char* what;  // "missing", "not a regular file", "changed mode", "not below /flash"
    std::string mode = "";  // in octal, for a changed mode
};

// What the installer itself puts there: a regular file whose permission bits
// come from the package, never set-id or sticky bits. (The mode each file was
// installed with is not kept in the database, so other bits are not judged.)
void audit_record(const package_record& record, std::vector<finding>& findings) {
    for (const std::string& entry : record.files) {
        const std::string path = flash_root + entry;
        struct stat info {};
        // A damaged or hostile file list must not send the audit elsewhere.
        if (!is_clean_flash_path(path)) findings.push_back({&record, path, "not below /flash"});
        else if (::lstat(path.c_str(), &info) != 0) findings.push_back({&record, path, "missing"});
        else if (!S_ISREG(info.st_mode)) findings.push_back({&record, path, "not a regular file"});
        else if ((info.st_mode & 07000) != 0) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
            findings.push_back({&record, path, "changed mode", mode});
        }
    }
}

int audit(installer_context& ctx, const query_options& query) {
    std::vector<finding> findings;
    if (query.argument.empty()) {
        for (const auto& record : ctx.packages) audit_record(*record, findings);
    } else if (const package_record* record = find_package(ctx, query.argument)) {
        audit_record(*record, findings);
    } else {
        report_error(ctx, "package %s is not installed", printable(query.argument).c_str());
        return 1;
    }
    if (query.json) {
        json_writer json;
        json.begin_object();
        json.key("findings");
        json.begin_array();
        for (const finding& f : findings) {
            json.begin_object();
            json.key("package");
            json.string(f.record->name);
            json.key("path");
            json.string(f.path);
            json.key("finding");
            json.string(f.what);
            if (!f.mode.empty()) {
                json.key("mode");
                json.string(f.mode);
            }
            json.end_object();
        }
        json.end_array();
        json.end_object();
        write_out(ctx, json.text());
    } else {
        std::string text;
        for (const finding& f : findings) {
            text += printable(f.record->name) + ": " + f.what + (f.mode.empty() ? "" : " ") + f.mode + " " +
                printable(f.path) + "\n";
        }
        write_out(ctx, text);
    }
    return findings.empty() ? 0 : 1;
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
