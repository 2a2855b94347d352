#include "main/query_modes.h"

#include <cstring>
#include <vector>

#include "console/json_writer.h"
#include "console/package_table.h"
#include "console/printable.h"
#include "resolve/version.h"

namespace {

// The files of a record are kept as paths below /flash; the operator sees and
// names them as the router does.
constexpr const char* flash_root = "/flash";

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
    const std::size_t prefix = std::strlen(flash_root);
    std::vector<const package_record*> owners;
    if (path.compare(0, prefix, flash_root) == 0 && path.size() > prefix && path[prefix] == '/') {
        const std::string entry = path.substr(prefix);
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

}  // namespace

bool take_query_option(int argc, char** argv, int& i, query_options& query) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--json") == 0) {
        query.json = true;
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
    case query_mode::none:
        break;
    }
    return show_json(ctx);
}
