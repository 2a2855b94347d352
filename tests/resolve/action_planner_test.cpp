// The action planner: record directories, package images and schedule files
// laid out on a temporary root, carried out by the real program in upgrade
// mode, and the records as the next run loads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "qpk/writer.h"
#include "resolve/action_planner.h"
#include "resolve/version.h"
#include "store/repository.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t v1 = make_version(1, 0, 'f', 0);

// A package as a name followed by marks: >dependency +provision !conflict
// ~disabled-state @schedule ^bundle-image-it-belongs-to =bundle-file, and *
// for an image in both image places.
struct pkg {
    std::string name;
    std::map<char, std::vector<std::string>> marks;

    std::string mark(char m) const { return marks.contains(m) ? marks.at(m).front() : ""; }
    std::vector<requirement> requirements(char m) const {
        std::vector<requirement> list;
        if (marks.contains(m))
            for (const std::string& name : marks.at(m)) list.push_back({name, 0, 0, 0});
        return list;
    }
    std::string lines(char m, const char* numbers) const {
        std::string text;
        for (const requirement& req : requirements(m)) text += req.name + numbers;
        return text;
    }
    std::string package_file() const {
        qpk::package_contents c;
        c.name = name;
        c.version = v1;
        c.dependencies = requirements('>');
        c.provisions = requirements('+');
        c.conflicts = requirements('!');
        return qpk::build_package(c);
    }
};

std::vector<pkg> parse(const std::string& text) {
    std::vector<pkg> pkgs;
    std::istringstream tokens(text);
    for (std::string token; tokens >> token;) {
        std::size_t at = token.find_first_of(">+!~@^=*");
        pkgs.push_back({token.substr(0, at), {}});
        for (std::size_t next; at < token.size(); at = next) {
            next = token.find_first_of(">+!~@^=*", at + 1);
            pkgs.back().marks[token[at]].push_back(token.substr(at + 1, next - at - 1));
        }
    }
    return pkgs;
}

std::string bundle_image(const pkg& bundle, const std::vector<pkg>& pkgs) {
    qpk::bundle_contents b;
    b.name = bundle.name;
    b.version = v1;
    for (const pkg& p : pkgs)
        if (p.mark('^') == bundle.name) b.members.push_back(p.package_file());
    std::string file, error;
    return b.members.empty() || !qpk::build_bundle(b, file, error) ? "" : file;
}

// Described by a record directory with meta files, and one file of its own.
bool has_meta_files(const pkg& p, const std::vector<pkg>& pkgs) {
    return !p.marks.contains('^') && !p.marks.contains('*') && bundle_image(p, pkgs).empty();
}

// Record directories as the database writes them; a bundle, its members and
// a package twice over as images.
void lay_out(const temp_root& root, const std::vector<pkg>& pkgs) {
    for (const pkg& p : pkgs) {
        const std::string dir = "/flash/var/pdb/" + p.name + "/";
        if (p.marks.contains('~')) root.write_file(dir + "disabled", p.mark('~') + "\n");
        if (p.marks.contains('@')) root.write_file("/ram/pdb/" + p.name + "/schedule", p.mark('@') + "\n");
        if (p.marks.contains('*')) {
            root.write_file(dir + "image", p.package_file());
            root.write_file("/rw/pckg/.images/" + p.name, p.package_file());
        } else if (!has_meta_files(p, pkgs) && !p.marks.contains('^')) {
            root.write_file(dir + "image", bundle_image(p, pkgs));
        } else if (has_meta_files(p, pkgs)) {
            root.write_file(dir + "version", std::to_string(v1) + " 0\n");
            root.write_file(dir + "deps", p.lines('>', " 0 0\n"));
            if (p.marks.contains('+')) root.write_file(dir + "provides", p.lines('+', " 0 0 0\n"));
            if (p.marks.contains('!')) root.write_file(dir + "conflicts", p.lines('!', " 0 0\n"));
            if (p.marks.contains('=')) root.write_file(dir + "bundle", p.mark('=') + "\n");
            root.write_file(dir + "files", "bin/" + p.name + "\n");
            root.write_file("/flash/bin/" + p.name, p.name);
        }
    }
}

// The records a run loads from the root without schedule files, sorted:
// "name on|off[ user][ action]", comma-separated.
std::string records_after(const temp_root& root) {
    remove_tree(root.host("/ram/pdb"));
    return run_in_child(root.path(), [] {
               installer_context ctx;
               load_repository(ctx, true, "i386");
               std::vector<std::string> records;
               for (const auto& r : ctx.packages)
                   records.push_back(r->name + (r->disabled ? " off" : " on") + (r->user_set ? " user" : "") +
                                     (r->scheduled_action ? std::string(" ") + action_word(r->scheduled_action) : ""));
               std::sort(records.begin(), records.end());
               for (std::size_t i = 0; i < records.size(); ++i) std::printf("%s%s", i ? "," : "", records[i].c_str());
               return 0;
           })
        .out;
}

// The console of one disable or enable at verbosity 1.
std::string step(const std::string& doing, const std::string& done) {
    return "\x1b[?25l\r" + doing + "\r\x1b[?25h\x1b[?25l\r" + std::string(doing.size(), ' ') + "\r\x1b[?25h" + done +
           "\n";
}
std::string disabled(const std::string& package) { return step("disabling " + package + "...", "disabled " + package); }
std::string enabled(const std::string& package) { return step("enabling " + package + "...", "enabled " + package); }
std::string warning(const std::string& text) { return "WARNING: " + text + "\n"; }

}  // namespace

TEST(ActionPlannerTest, ScheduledActionsCarriedOutByAnUpgradeRun) {
    struct row {
        const char* what;
        const char* pkgs;
        std::string out;
        std::string after;
        // Disabled last, in the reverse of the order the records load in.
        std::vector<std::string> disabled_in_reverse_load_order = {};
    };
    const row rows[] = {
        {"nothing installed", "", "ERROR: router installation failed!!!\n", ""},
        {"the only package disabled", "a@disable", "ERROR: can not uninstall or disable all packages\n", "a on"},
        {"a needed dependency stays", "p>d d@disable", warning("can not disable d-1.0: p depends on it"), "d on,p on"},
        {"another provider makes the uninstall harmless", "p>d d@uninstall e+d", "", "e on,p on"},
        {"a disabled dependency is enabled with its own", "p>d d>e~auto e~auto", enabled("d-1.0") + enabled("e-1.0"),
         "d on,e on,p on"},
        {"an enabled package disables what it conflicts with", "p!x!y x y~auto", disabled("x-1.0"), "p on,x off,y off"},
        {"an enable disables the enabled package it conflicts with", "x!p~user@enable p",
         disabled("p-1.0") + enabled("x-1.0"), "p off,x on user"},
        {"an enable disables the enabled package that conflicts with it", "x~auto@enable p!x",
         disabled("p-1.0") + enabled("x-1.0"), "p off,x on user"},
        {"of two enables the one conflicted with gives way", "p~auto@enable x!p~auto@enable",
         warning("can not enable p: x-1.0 conflicts with it") + enabled("x-1.0"), "p off,x on user"},
        {"a disabled orphan is uninstalled", "keep p>d~auto d@uninstall", "", "keep on"},
        {"an enabled package keeps its disabled dependency and is disabled", "keep p>d d~auto@uninstall",
         warning("can not uninstall d-1.0: p depends on it") + disabled("p-1.0"), "d off,keep on,p off"},
        {"a dependency nothing provides", "keep p>none", "", "keep on"},
        // The bundle's image goes, so its disabled members come back as
        // records without a description, to be uninstalled next time.
        {"members follow the disable of their bundle, which goes", "keep b@disable m1^b m2^b",
         disabled("m2-1.0") + disabled("m1-1.0"), "keep on,m1 off uninstall,m2 off uninstall"},
        {"a bundle whose members all go", "keep b~auto m1^b@uninstall m2^b@uninstall", "", "keep on"},
        {"a bundle stays disabled when no member will be enabled", "keep b~auto@enable m1^b@disable",
         disabled("m1-1.0"), "b off,keep on,m1 off user"},
        {"members follow the enable of their bundle", "b~user@enable m1^b~auto m2^b~auto",
         enabled("m1-1.0") + enabled("m2-1.0") + enabled("b-1.0"), "b on user,m1 on,m2 on"},
        {"disables come in the reverse of the load order", "keep x@disable y@disable z@disable", "",
         "keep on,x off user,y off user,z off user", {"x", "y", "z"}},
        {"two records of one name uninstalled", "keep dup*@uninstall", "", "keep on"},
        {"a redundant enable keeps what depends on it", "p>d d@enable", enabled("d-1.0"), "d on user,p on"},
        {"a bundle reference to itself", "x~user@enable=x", enabled("x-1.0"), "x on user uninstall"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_root root;
        const std::vector<pkg> pkgs = parse(r.pkgs);
        lay_out(root, pkgs);
        std::string out = r.out;
        std::vector<std::string> order = directory_order(root.host("/flash/var/pdb"));
        for (auto name = order.rbegin(); name != order.rend(); ++name)
            if (std::count(r.disabled_in_reverse_load_order.begin(), r.disabled_in_reverse_load_order.end(), *name))
                out += disabled(*name + "-1.0");

        run_result run = run_installer({"-r", root.path()});
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.status, 0);
        const std::string after = records_after(root);
        EXPECT_EQ(after, r.after);
        // An uninstall removes the package's files; a disable keeps them.
        for (const pkg& p : pkgs) {
            const bool loaded = ("," + after).find("," + p.name + " ") != after.npos;
            EXPECT_TRUE(!has_meta_files(p, pkgs) || root.exists("/flash/bin/" + p.name) == loaded) << p.name;
        }
    }
}

// What only later plans of the same run can show: which of two records of
// one name an uninstall takes out of the package list, that an enable
// dropped as superseded is not left to be planned again, and that a plan
// refused is not reported at verbosity 0.
TEST(ActionPlannerTest, LaterPlansOfTheRunSeeWhatTheFirstLeft) {
    temp_root root;
    run_result r = run_in_child(root.path(), [] {
        child_checks checks;
        installer_context ctx;
        for (auto [version, off, action] : {std::tuple{v1, false, action_none}, {v1 + 1, false, action_uninstall},
                                            {v1, true, action_enable}, {v1 + 1, true, action_enable}}) {
            ctx.packages.push_back(new_package_record(ctx.packages.size() < 2 ? "dup" : "p"));
            ctx.packages.back()->version = version;
            ctx.packages.back()->disabled = off;
            ctx.packages.back()->scheduled_action = action;
        }
        file_manifest manifest;
        CHILD_CHECK(checks, apply_actions(ctx, manifest, 0));
        std::string left;
        for (const auto& p : ctx.packages)
            left += name_version_text(*p) + (p->disabled ? " off " : " on ") + action_word(p->scheduled_action) + ",";
        CHILD_CHECK_EQ(checks, left, std::string("dup-1.0 on ,p-1.0 off ,p-1.0.1 on ,"));
        CHILD_CHECK(checks, !apply_actions(ctx, manifest, 0));
        for (const auto& p : ctx.packages) p->scheduled_action = action_disable;
        CHILD_CHECK(checks, !apply_actions(ctx, manifest, 0));  // refused
        cancel_manifest(manifest);
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
}
