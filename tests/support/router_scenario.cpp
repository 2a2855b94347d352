#include "support/router_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "resolve/version.h"
#include "store/repository.h"
#include "support/host_files.h"
#include "support/limited_run.h"
#include "support/package_line.h"

namespace scenario {

namespace {

std::string requirement_lines(const std::vector<requirement>& list, bool precedence) {
    std::string text;
    for (const requirement& r : list)
        text += r.name + " " + std::to_string(r.minimum) + " " + std::to_string(r.maximum) +
                (precedence ? " " + std::to_string(r.precedence) : "") + "\n";
    return text;
}

void lay_out_state(const temp_root& root, const package_record& p) {
    const std::string dir = "/flash/var/pdb/" + p.name + "/";
    if (p.disabled) root.write_file(dir + "disabled", p.user_set ? "user\n" : "auto\n");
    else if (p.user_set) root.write_file(dir + "enabled", "user\n");
    if (p.scheduled_action != action_none)
        root.write_file("/ram/pdb/" + p.name + "/schedule", action_word(p.scheduled_action));
}

std::string joined(std::vector<std::string> words) {
    std::sort(words.begin(), words.end());
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Temporary files get names that differ from run to run.
std::string without_temporary_names(std::string path) {
    for (std::size_t at = path.find("/tmp"); at != std::string::npos; at = path.find("/tmp", at + 1)) {
        const std::size_t end = path.find('/', at + 1);
        if ((end == std::string::npos ? path.size() : end) - at == 10) path.replace(at + 4, 6, "*");
    }
    return path;
}

// files() of the tree below base: a temporary root seen from the host, or "/." inside a child that changed root.
std::string files_below(const std::string& base) {
    const std::string meta = " version deps provides conflicts bundle files digests disabled enabled ";
    std::vector<std::string> shown_files;
    for (const std::string& line : snapshot(base)) {
        const std::size_t equals = line.find(" = "), arrow = line.find(" -> ");
        const std::string real = line.substr(0, std::min(equals, arrow));
        const std::string name = " " + real.substr(real.rfind('/') + 1) + " ";
        if (line.back() == '/' || (real.starts_with("/flash/var/pdb/") && meta.find(name) != std::string::npos) ||
            real == "/flash/postlog" || real.starts_with("/ram/pdb/"))
            continue;
        const std::string path = without_temporary_names(real);
        std::string shown = path.starts_with("/flash/") ? path.substr(7) : path.substr(1);
        if (shown.starts_with("var/pdb/")) shown.erase(0, 4);
        if (arrow != std::string::npos) {
            shown += "->" + line.substr(arrow + 4);
        } else {
            const std::string content = line.substr(equals + 3);
            if (content.size() <= 40 && std::all_of(content.begin(), content.end(), [](unsigned char c) {
                    return c >= 0x20 && c < 0x7F;
                }))
                shown += "=" + content;
            const unsigned mode = mode_of(base + real);
            if (mode != 0644) shown += ":" + (std::ostringstream() << std::oct << mode).str();
        }
        shown_files.push_back(shown);
    }
    return joined(shown_files);
}

}  // namespace

void lay_out(const temp_root& root, const std::vector<std::string>& lines) {
    for (const std::string& text : lines) {
        const auto p = line::object(text);
        const std::string dir = "/flash/var/pdb/" + p->name + "/";
        lay_out_state(root, *p);
        if (p->image || p->bundle) {
            root.write_file(dir + "image", line::file(text, 0));
            for (const std::string& word : line::words(text))
                if (word[0] == '{') lay_out_state(root, *line::object(word.substr(1, word.size() - 2)));
            continue;
        }
        root.write_file(dir + "version", std::to_string(p->version) + " " + std::to_string(p->build_time) + "\n");
        root.write_file(dir + "deps", requirement_lines(p->dependencies, false));
        if (!p->provisions.empty()) root.write_file(dir + "provides", requirement_lines(p->provisions, true));
        if (!p->conflicts.empty()) root.write_file(dir + "conflicts", requirement_lines(p->conflicts, false));
        if (!p->bundle_reference.name.empty()) root.write_file(dir + "bundle", p->bundle_reference.name + "\n");
        std::string list;
        for (const std::string& file : p->files) {
            root.write_file("/flash" + file, name_version_text(*p));
            list += file.substr(1) + "\n";
        }
        root.write_file(dir + "files", list);
    }
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
    const std::string hide = "\x1b[?25l\r", show = "\r\x1b[?25h";
    std::string shown, line, status;
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (output.compare(i, hide.size(), hide) == 0) {
            const std::size_t end = output.find(show, i);
            std::string drawn = output.substr(i + hide.size(), end - i - hide.size());
            drawn = drawn.substr(0, std::min(drawn.find(" ["), drawn.find_last_not_of(' ') + 1));
            if (!drawn.empty() && drawn != status) shown += "> " + drawn + "\n";
            status = drawn.empty() ? status : drawn;
            i = end + show.size() - 1;
        } else if (c == '\r' || c == '\n') {
            if (c == '\n') shown += line.erase(line.find_last_not_of(' ') + 1) + "\n";
            if (c == '\n') line.clear();
            column = 0;
        } else if (c == '\b') {
            column -= column > 0;
        } else {
            line.resize(std::max(line.size(), column + 1));
            line[column++] = c;
        }
    }
    return shown;
}

std::string records(const temp_root& root) {
    const auto loaded = [] {
        remove_tree("/ram/pdb");  // the schedule files are gone after a restart
        installer_context ctx;
        load_repository(ctx, true, "i386");
        std::vector<std::string> lines;
        for (const auto& r : ctx.packages) {
            std::string text = name_version_text(*r);
            if (r->disabled) text += " off";
            if (r->user_set) text += " user";
            if (!r->bundle_reference.name.empty()) text += " ^" + r->bundle_reference.name;
            if (r->scheduled_action != action_none) text += std::string(" do=") + action_word(r->scheduled_action);
            lines.push_back(text);
        }
        return std::fputs(joined(lines).c_str(), stdout), 0;
    };
    return run_in_child(root.path(), loaded).out;
}

std::string files(const temp_root& root) { return files_below(root.path()); }

run_result run_on_small_disks(const temp_root& root, const std::string& size, std::size_t fill,
                              const std::vector<std::string>& args, const std::string& input) {
    const auto mount = [&] { return mount_tmpfs(root.host("/flash"), size) && mount_tmpfs(root.host("/ram"), size); };
    // The small disks go with the child's mounts: what the run left on them is written beside them first.
    const std::string left = "/small-disks-left";
    const auto body = [&] {
        for (const char* dir : {"/flash/boot", "/flash/var", "/flash/var/pdb"}) ::mkdir(dir, 0755);
        if (fill) write_host_file("/flash/fill", std::string(fill, 'f'));
        const int status = call_installer_main(args);
        write_host_file(left, files_below("/."));
        return status;
    };
    run_result r = run_in_private_mounts(root.path(), mount, body, input);
    r.left = root.read_file(left);
    ::unlink(root.host(left).c_str());
    return r;
}

void check(const row& r) {
    temp_root root;
    lay_out(root, r.installed);
    const run_result result = run(root, r.steps);
    EXPECT_EQ(screen(result.out), r.screen);
    EXPECT_EQ(result.status, r.status) << result.err;
    EXPECT_EQ(records(root), r.records);
    EXPECT_EQ(files(root), r.files);
    if (r.postlog) {
        EXPECT_EQ(root.read_file("/flash/postlog"), *r.postlog);
    }
}

std::string words_of(std::string_view what) {
    std::string name;
    for (const char c : what)
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
        else if (!name.empty() && name.back() != '_') name += '_';
    if (!name.empty() && name.back() == '_') name.pop_back();
    return name.empty() ? "nothing" : name;
}

void PrintTo(const row& r, std::ostream* out) { *out << r.what; }

}  // namespace scenario
