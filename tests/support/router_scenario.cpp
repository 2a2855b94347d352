#include "support/router_scenario.h"

#include <algorithm>
#include <sstream>

#include "resolve/version.h"
#include "store/repository.h"
#include "support/host_files.h"
#include "support/package_maker.h"

namespace scenario {

namespace {

maker::recipe recipe_of(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    maker::recipe r;
    r.name = word.substr(0, word.rfind('-'));
    r.version = word.substr(word.rfind('-') + 1);
    while (words >> word) {
        const std::string rest = word.substr(1);
        switch (word[0]) {
        case '>': r.depends.push_back(rest); break;
        case '+': r.provides.push_back(rest); break;
        case '!': r.conflicts.push_back(rest); break;
        case '/': r.files.push_back(qpk::regular_file(word, r.name + "-" + r.version)); break;
        case '%': r.image = rest; break;
        case '@': r.architecture = rest; break;
        case '#': r.flags = static_cast<std::uint32_t>(std::stoul(rest)); break;
        default: r.second_kind = word == "second-kind"; break;
        }
    }
    return r;
}

bool is_meta_or_state(const std::string& path) {
    static const char* names[] = {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled"};
    if (!path.starts_with("/flash/var/pdb/")) return false;
    const std::string name = path.substr(path.rfind('/') + 1);
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

}  // namespace

std::string pkg(const std::string& line) { return maker::package(recipe_of(line)); }

std::string bundle(const std::string& header, const std::vector<std::string>& members,
                   const std::vector<std::string>& disabled) {
    std::vector<maker::recipe> recipes;
    for (const std::string& member : members) recipes.push_back(recipe_of(member));
    return maker::bundle(recipe_of(header), recipes, disabled);
}

run_result run(const temp_root& root, const std::vector<step>& steps) {
    run_result result;
    for (const step& s : steps) {
        for (const auto& [path, content] : s.files) root.write_file(path, content);
        std::vector<std::string> args = {"-r", root.path()};
        args.insert(args.end(), s.args.begin(), s.args.end());
        result = run_installer(args, s.input, s.env);
    }
    return result;
}

std::string screen(const std::string& output) {
    std::string shown, line;
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (output.compare(i, 6, "\x1b[?25l") == 0 || output.compare(i, 6, "\x1b[?25h") == 0) {
            i += 5;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\b') {
            column -= column > 0;
        } else if (c == '\n') {
            line.erase(line.find_last_not_of(' ') + 1);
            shown += line + "\n";
            line.clear();
            column = 0;
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    return shown;
}

std::string records(const temp_root& root) {
    return run_in_child(root.path(), [] {
               installer_context ctx;
               load_repository(ctx, true, "i386");
               std::vector<std::string> lines;
               for (const auto& r : ctx.packages)
                   lines.push_back(name_version_text(*r) + (r->disabled ? " off" : "") + (r->user_set ? " user" : "") +
                                   (r->bundle_reference.name.empty() ? "" : " ^" + r->bundle_reference.name) +
                                   (r->scheduled_action ? std::string(" @") + action_word(r->scheduled_action) : ""));
               std::sort(lines.begin(), lines.end());
               for (std::size_t i = 0; i < lines.size(); ++i) std::printf("%s%s", i ? " " : "", lines[i].c_str());
               return 0;
           })
        .out;
}

namespace {

// Temporary files get names that differ from run to run.
std::string without_temporary_names(std::string path) {
    for (std::size_t at = path.find("/tmp"); at != std::string::npos; at = path.find("/tmp", at + 1)) {
        const std::size_t end = path.find('/', at + 1);
        if ((end == std::string::npos ? path.size() : end) - at == 10) path.replace(at + 4, 6, "*");
    }
    return path;
}

}  // namespace

std::string files(const temp_root& root) {
    std::vector<std::string> shown_files;
    for (const std::string& line : snapshot(root.path())) {
        const std::size_t equals = line.find(" = "), arrow = line.find(" -> ");
        std::string path = line.substr(0, std::min(equals, arrow));
        if (line.back() == '/' || is_meta_or_state(path) || path == "/flash/postlog") continue;
        path = without_temporary_names(path);
        std::string shown = path.starts_with("/flash/") ? path.substr(7) : path.substr(1);
        if (shown.starts_with("var/pdb/")) shown.erase(0, 4);
        if (arrow != std::string::npos) {
            shown += "->" + line.substr(arrow + 4);
        } else {
            const std::string content = line.substr(equals + 3);
            const bool text = content.size() <= 40 && std::all_of(content.begin(), content.end(), [](unsigned char c) {
                                  return c >= 0x20 && c < 0x7F;
                              });
            if (text) shown += "=" + content;
        }
        shown_files.push_back(shown);
    }
    std::sort(shown_files.begin(), shown_files.end());
    std::string text;
    for (const std::string& shown : shown_files) text += (text.empty() ? "" : " ") + shown;
    return text;
}

}  // namespace scenario
