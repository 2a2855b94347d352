#include "store/database.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "resolve/version.h"
#include "support/captured_context.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t v640 = make_version(6, 40, 'f', 0);
constexpr std::uint32_t v6401 = make_version(6, 40, 'f', 1);
const std::string pdb = "/flash/var/pdb/";

std::string list_text(const std::vector<requirement>& list) {
    std::string text;
    for (const requirement& r : list)
        text += " " + r.name + "," + std::to_string(r.minimum) + "," + std::to_string(r.maximum) + "," +
                std::to_string(r.precedence);
    return text;
}

// Everything of a record that the package database keeps, one field a line,
// so that a mismatch shows which field differs.
std::string describe(const package_record& r) {
    std::string text = "name " + r.name + "\nversion " + std::to_string(r.version) + " " +
                       std::to_string(r.build_time) + "\nbundle flag " + std::to_string(r.bundle) +
                       "\ndeps" + list_text(r.dependencies) + "\nprovides" + list_text(r.provisions) +
                       "\nconflicts" + list_text(r.conflicts) + "\nfiles";
    for (const std::string& f : r.files) text += " " + f;
    text += "\nbundle reference" + list_text({r.bundle_reference});
    text += "\ndisabled " + std::to_string(r.disabled) + " user " + std::to_string(r.user_set) + " action " +
            std::to_string(r.scheduled_action) + "\n";
    return text;
}

std::string manifest_text(const file_manifest& m) {
    std::string text;
    for (const auto& [destination, entry] : m.entries) {
        const char* kind = entry.kind == entry_kind::staged_file ? "S "
                           : entry.kind == entry_kind::remove    ? "U "
                           : entry.kind == entry_kind::move      ? "M "
                                                                 : "L ";
        text += kind + destination + "\n";
    }
    return text;
}

std::string messages_text(const installer_context& ctx) {
    std::string text;
    for (const std::string& m : ctx.messages) text += m + "\n";
    return text;
}


// Runs body chrooted into the root and hands back what it returned. The
// paths of the database are absolute, so this is the only way to use them.
std::string in_root(const temp_root& root, const std::function<std::string()>& body) {
    run_result r = run_in_child(root.path(), [&] {
        std::string text = body();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

std::unique_ptr<package_record> sample_record(const std::string& name) {
    auto r = new_package_record(name);
    r->version = v6401;
    r->build_time = 1234;
    return r;
}

}  // namespace

TEST(DatabaseTest, PathsAndNames) {
    auto r = new_package_record("system");
    EXPECT_EQ(record_directory(*r), "/flash/var/pdb/system/");
    r->version = v6401;
    EXPECT_EQ(message_name(*r), "system-6.40.1");
    r->bundle_reference = {"routeros", v640, v640, 0};
    EXPECT_EQ(message_name(*r), "routeros-6.40");
    r->bundle_reference = {"routeros", 0, 0, 0};
    EXPECT_EQ(message_name(*r), "routeros");

    EXPECT_EQ(schedule_path("a_b.c"), "/ram/pdb/abc/schedule");
    EXPECT_EQ(schedule_path("velnor-X2"), "/ram/pdb/velnor-X2/schedule");
    EXPECT_EQ(schedule_path("a/../b c\xe9"), "/ram/pdb/abc/schedule");
    EXPECT_EQ(schedule_path("_."), "");

    for (const char* good : {"system", "a_b.c", "-x", "x.."}) EXPECT_TRUE(is_valid_record_name(good)) << good;
    // A dot-directory would be passed over when the database is loaded.
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "...", ".hidden", "../x", "a/b", std::string("a\0b", 3), "a b", "a\nb"})
        EXPECT_FALSE(is_valid_record_name(bad)) << bad;
}

TEST(DatabaseTest, FailureReportsGoByErrno) {
    auto member = sample_record("wireless");
    member->bundle_reference = {"routeros", v640, v640, 0};
    auto plain = sample_record("system");
    struct {
        int error;
        const package_record* record;
        const char* what;
        const char* message;
    } cases[] = {
        {ENOSPC, plain.get(), "meta/version", "ERROR: installation of system-6.40.1 failed: disk is too small"},
        {EIO, member.get(), "meta/deps", "ERROR: installation of routeros-6.40 failed: disk error"},
        {EACCES, plain.get(), "meta/files",
         "ERROR: installation of system-6.40.1 failed: could not create meta/files: Permission denied"},
        {0, member.get(), "/flash/x", "ERROR: installation of routeros-6.40 failed: could not create /flash/x: Success"},
    };
    for (const auto& c : cases) {
        captured_context t;
        t.ctx.status_line = "installing...";
        errno = c.error;
        creation_failure(t.ctx, *c.record, c.what);
        EXPECT_EQ(messages_text(t.ctx), std::string(c.message) + "\n");
        EXPECT_TRUE(t.ctx.status_line.empty());  // an error clears the status line
    }
    captured_context t;
    broken_package(t.ctx, *member);
    EXPECT_EQ(t.all(), "ERROR: installation of routeros-6.40 failed: broken package\n");
}

TEST(DatabaseTest, LoadRecordStateFromDirectories) {
    struct load_case {
        const char* title;
        std::string name;
        std::uint32_t preset_version, preset_build;
        std::vector<std::pair<std::string, std::string>> files;  // below the record directory
        std::string schedule_dir, schedule;                      // below /ram/pdb/
        std::function<void(package_record&)> expect;
    };
    const std::string v = "100 200\n";
    auto versioned = [](package_record& r) {
        r.version = 100;
        r.build_time = 200;
    };
    const load_case cases[] = {
        {"only disabled auto", "p", 0, 0, {{"disabled", "auto\n"}}, "", "",
         [](package_record& r) {
             r.scheduled_action = action_uninstall;
             r.disabled = true;
             r.bundle = true;
         }},
        {"empty disabled", "p", 0, 0, {{"disabled", ""}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.disabled = r.user_set = true;
         }},
        {"disabled user", "p", 0, 0, {{"disabled", "user\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.disabled = r.user_set = true;
         }},
        {"enabled beside disabled", "p", 0, 0,
         {{"disabled", "auto\n"}, {"enabled", "user\n"}, {"version", v}, {"files", "bin/x\n"}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.files = {"/bin/x"};
             r.disabled = true;
         }},
        {"enabled alone", "p", 0, 0, {{"enabled", "user\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.user_set = true;
         }},
        {"provides with two numbers", "p", 0, 0, {{"provides", "x 1 2\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.scheduled_action = action_uninstall;
         }},
        {"deps with two numbers", "p", 0, 0, {{"deps", "x 1 2\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.dependencies = {{"x", 1, 2, 0}};
         }},
        {"all lists", "p", 0, 0,
         {{"deps", "a 1 2\nb 0 0\n"},
          {"provides", "v 3 4 -5\nw 0 0 2147483647\nu 1 1 -2147483648\n"},
          {"conflicts", "c 4294967295 0"},
          {"version", v},
          {"files", ""}},
         "", "",
         [&](package_record& r) {
             versioned(r);
             r.dependencies = {{"a", 1, 2, 0}, {"b", 0, 0, 0}};
             r.provisions = {{"v", 3, 4, -5}, {"w", 0, 0, 2147483647}, {"u", 1, 1, -2147483647 - 1}};
             r.conflicts = {{"c", 0xFFFFFFFF, 0, 0}};
         }},
        {"broken deps keep the entries before", "p", 0, 0, {{"deps", "a 1 2\nb 3\n"}, {"version", v}, {"files", ""}},
         "", "",
         [&](package_record& r) {
             versioned(r);
             r.dependencies = {{"a", 1, 2, 0}};
             r.scheduled_action = action_uninstall;
         }},
        {"out of range or signed numbers", "p", 0, 0,
         {{"conflicts", "a 4294967296 0\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.scheduled_action = action_uninstall;
         }},
        {"version with one number", "p", 0, 0, {{"version", "5\n"}, {"files", ""}}, "", "",
         [](package_record& r) {
             r.version = 5;  // kept as read; the missing build time schedules the uninstall
             r.scheduled_action = action_uninstall;
         }},
        {"negative version", "p", 0, 0, {{"version", "-1 3\n"}, {"files", ""}}, "", "",
         [](package_record& r) { r.scheduled_action = action_uninstall; }},
        {"bundle word", "p", 0, 0, {{"bundle", "routeros\n"}, {"version", v}, {"files", ""}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.bundle_reference = {"routeros", 0, 0, 0};
             r.scheduled_action = action_uninstall;
         }},
        {"empty bundle file", "p", 0, 0, {{"bundle", "\n"}, {"version", v}, {"files", ""}}, "", "", versioned},
        {"files lines", "p", 0, 0, {{"version", v}, {"files", "bin/x\n/etc/y\n\nlib/z"}}, "", "",
         [&](package_record& r) {
             versioned(r);
             r.files = {"/bin/x", "/etc/y", "/lib/z"};
         }},
        {"schedule enable overrides uninstall", "p", 0, 0, {{"disabled", "auto\n"}}, "p", "enable\n",
         [](package_record& r) {
             r.scheduled_action = action_enable;
             r.disabled = r.user_set = r.bundle = true;
         }},
        {"schedule disable", "p", 0, 0, {{"version", v}, {"files", ""}}, "p", "disable now\n",
         [&](package_record& r) {
             versioned(r);
             r.scheduled_action = action_disable;
             r.user_set = true;
         }},
        {"schedule uninstall", "p", 0, 0, {{"version", v}, {"files", ""}}, "p", "  uninstall",
         [&](package_record& r) {
             versioned(r);
             r.scheduled_action = action_uninstall;
         }},
        {"schedule other word", "p", 0, 0, {{"version", v}, {"files", ""}}, "p", "Enable\n", versioned},
        {"schedule of a dotted name", "a_b.c", 0, 0, {{"version", v}, {"files", ""}}, "abc", "disable\n",
         [&](package_record& r) {
             versioned(r);
             r.scheduled_action = action_disable;
             r.user_set = true;
         }},
        {"placeholder ignores its schedule", "p", 0xFFFFFFFF, 0xFFFFFFFF,
         {{"version", v}, {"disabled", "auto\n"}}, "p", "enable\n",
         [](package_record& r) {
             r.version = r.build_time = 0xFFFFFFFF;
             r.disabled = true;
         }},
        {"image described it already", "p", 7, 8, {{"version", v}, {"bundle", "b\n"}, {"deps", "x"}}, "", "",
         [](package_record& r) {
             r.version = 7;
             r.build_time = 8;
         }},
        {"no directory at all", "p", 0, 0, {}, "", "",
         [](package_record& r) {
             r.scheduled_action = action_uninstall;
             r.bundle = true;
         }},
    };
    for (const load_case& c : cases) {
        temp_root root;
        for (const auto& [file, content] : c.files) root.write_file(pdb + c.name + "/" + file, content);
        if (!c.schedule_dir.empty()) root.write_file("/ram/pdb/" + c.schedule_dir + "/schedule", c.schedule);
        // A schedule file under the unfiltered name is not the package's.
        if (c.name != "p") root.write_file("/ram/pdb/" + c.name + "/schedule", "uninstall\n");

        auto expected = new_package_record(c.name);
        c.expect(*expected);
        std::string loaded = in_root(root, [&] {
            auto r = new_package_record(c.name);
            r->version = c.preset_version;
            r->build_time = c.preset_build;
            load_record_state(*r);
            return describe(*r);
        });
        EXPECT_EQ(loaded, describe(*expected)) << c.title;
    }
}

TEST(DatabaseTest, WriteRecordMetaIntoAnEmptyDirectory) {
    temp_root root;
    auto r = sample_record("pkg");
    r->dependencies = {{"system", v640, 0, 4}};
    r->conflicts = {{"old", 0, 5, 9}};
    r->files = {"/bin/x", "/etc/y", "usr/z", ""};
    std::string out = in_root(root, [&] {
        captured_context t;
        file_manifest m;
        bool ok = write_record_meta(t.ctx, *r, m);
        std::string text = manifest_text(m) + messages_text(t.ctx) + (ok ? "ok\n" : "failed\n");
        apply_manifest(m, false);
        return text;
    });
    EXPECT_EQ(out,
              "S /flash/var/pdb/pkg/conflicts\n"
              "S /flash/var/pdb/pkg/deps\n"
              "S /flash/var/pdb/pkg/files\n"
              "S /flash/var/pdb/pkg/version\n"
              "ok\n");
    EXPECT_EQ(root.list_dir(pdb + "pkg"), (std::vector<std::string>{"conflicts", "deps", "files", "version"}));
    EXPECT_EQ(root.read_file(pdb + "pkg/version"), std::to_string(v6401) + " 1234\n");
    EXPECT_EQ(root.read_file(pdb + "pkg/deps"), "system " + std::to_string(v640) + " 0\n");
    EXPECT_EQ(root.read_file(pdb + "pkg/conflicts"), "old 0 5\n");
    EXPECT_EQ(root.read_file(pdb + "pkg/files"), "bin/x\netc/y\nusr/z\n");
    // Nothing was left behind in the staging places.
    EXPECT_EQ(root.list_dir("/flash/var/pdb"), std::vector<std::string>{"pkg"});
    EXPECT_TRUE(root.list_dir("/ram").empty());
}

TEST(DatabaseTest, WriteRecordMetaOverAnExistingDirectory) {
    struct write_case {
        const char* title;
        std::function<void(package_record&)> setup;
        std::string manifest;
        std::vector<std::pair<std::string, std::string>> after;  // content, or gone
    };
    const std::string gone = "(gone)";
    const std::string d = "/flash/var/pdb/pkg/";
    const write_case cases[] = {
        {"empty lists and no bundle, enabled by the user",
         [](package_record& r) {
             r.files = {"/bin/x"};
             r.user_set = true;
         },
         "U " + d + "bundle\nU " + d + "conflicts\nS " + d + "deps\nU " + d + "disabled\nS " + d + "enabled\nS " + d +
             "files\nU " + d + "provides\nS " + d + "version\n",
         {{"provides", gone}, {"bundle", gone}, {"disabled", gone}, {"enabled", "user\n"}, {"files", "bin/x\n"},
          {"deps", ""}, {"conflicts", gone}, {"version", std::to_string(v6401) + " 1234\n"}}},
        {"provisions, bundle member, disabled by the user",
         [](package_record& r) {
             r.provisions = {{"net", 1, 0, -7}};
             r.bundle_reference = {"routeros", v640, v640, 0};
             r.disabled = r.user_set = true;
         },
         "S " + d + "bundle\nU " + d + "conflicts\nS " + d + "deps\nS " + d + "disabled\nU " + d + "enabled\nS " + d +
             "files\nS " + d + "provides\nS " + d + "version\n",
         {{"provides", "net 1 0 -7\n"}, {"bundle", "routeros\n"}, {"disabled", "user\n"}, {"enabled", gone},
          {"files", ""}}},
        {"disabled automatically",
         [](package_record& r) { r.disabled = true; },
         "U " + d + "bundle\nU " + d + "conflicts\nS " + d + "deps\nS " + d + "disabled\nU " + d + "enabled\nS " + d +
             "files\nU " + d + "provides\nS " + d + "version\n",
         {{"disabled", "auto\n"}, {"enabled", gone}}},
        {"bundle has no files of its own",
         [](package_record& r) { r.bundle = true; },
         "U " + d + "bundle\nU " + d + "conflicts\nS " + d + "deps\nU " + d + "disabled\nU " + d + "enabled\nU " + d +
             "provides\nS " + d + "version\n",
         {{"files", "old\n"}, {"disabled", gone}, {"enabled", gone}}},
        {"image keeps only state files, and no list when it installed no files",
         [](package_record& r) {
             r.image = true;
             r.disabled = true;
         },
         "S " + d + "disabled\nU " + d + "enabled\nU " + d + "files\n",
         {{"version", "1 2\n"}, {"files", gone}, {"bundle", "b\n"}, {"disabled", "auto\n"}}},
        {"no-meta flag keeps only state files",
         [](package_record& r) {
             r.header_flags = header_flag_no_meta | header_flag_boot;
             r.user_set = true;
         },
         "U " + d + "disabled\nS " + d + "enabled\nU " + d + "files\n",
         {{"version", "1 2\n"}, {"disabled", gone}, {"enabled", "user\n"}, {"files", gone}}},
    };
    for (const write_case& c : cases) {
        temp_root root;
        root.write_file(d + "version", "1 2\n");
        root.write_file(d + "files", "old\n");
        root.write_file(d + "provides", "old 1 2 3\n");
        root.write_file(d + "conflicts", "k 1 1\n");
        root.write_file(d + "bundle", "b\n");
        root.write_file(d + "disabled", "user\n");
        root.write_file(d + "enabled", "user\n");
        auto r = sample_record("pkg");
        c.setup(*r);
        std::string out = in_root(root, [&] {
            captured_context t;
            file_manifest m;
            bool ok = write_record_meta(t.ctx, *r, m);
            std::string text = manifest_text(m) + messages_text(t.ctx) + (ok ? "" : "failed\n");
            apply_manifest(m, false);
            return text;
        });
        EXPECT_EQ(out, c.manifest) << c.title;
        for (const auto& [file, content] : c.after) {
            if (content == gone) {
                EXPECT_FALSE(root.exists(d + file)) << c.title << ": " << file;
            } else {
                EXPECT_EQ(root.read_file(d + file), content) << c.title << ": " << file;
            }
        }
    }
}

TEST(DatabaseTest, MarkOperationsStageOnlyStateFiles) {
    struct mark_case {
        const char* title;
        bool disable, user_set;
        std::vector<std::string> existing;
        std::string manifest;
        std::string disabled_after, enabled_after;  // "" absent
    };
    const std::string d = "/flash/var/pdb/pkg/";
    const mark_case cases[] = {
        {"disable automatically", true, false, {"enabled"}, "S " + d + "disabled\nU " + d + "enabled\n", "auto\n", ""},
        {"disable by the user", true, true, {}, "S " + d + "disabled\n", "user\n", ""},
        {"enable by the user", false, true, {"disabled"}, "U " + d + "disabled\nS " + d + "enabled\n", "", "user\n"},
        {"enable automatically", false, false, {"disabled", "enabled"}, "U " + d + "disabled\nU " + d + "enabled\n",
         "", ""},
        {"enable with nothing there", false, false, {}, "", "", ""},
    };
    for (const mark_case& c : cases) {
        temp_root root;
        root.write_file(d + "version", "1 2\n");
        root.write_file(d + "files", "bin/x\n");
        for (const std::string& file : c.existing) root.write_file(d + file, "user\n");
        auto r = sample_record("pkg");
        r->user_set = c.user_set;
        r->disabled = !c.disable;
        r->scheduled_action = c.disable ? action_disable : action_enable;
        std::string out = in_root(root, [&] {
            file_manifest m;
            bool good = c.disable ? mark_disabled(*r, m) : mark_enabled(*r, m);
            std::string text = manifest_text(m) + "disabled " + std::to_string(r->disabled) + " action " +
                               std::to_string(r->scheduled_action) + " good " + std::to_string(good) + "\n";
            apply_manifest(m, false);
            return text;
        });
        EXPECT_EQ(out, c.manifest + "disabled " + std::to_string(c.disable) + " action 0 good 1\n") << c.title;
        EXPECT_EQ(root.read_file(d + "disabled"), c.disabled_after) << c.title;
        EXPECT_EQ(root.exists(d + "disabled"), !c.disabled_after.empty()) << c.title;
        EXPECT_EQ(root.read_file(d + "enabled"), c.enabled_after) << c.title;
        EXPECT_EQ(root.exists(d + "enabled"), !c.enabled_after.empty()) << c.title;
        EXPECT_EQ(root.read_file(d + "version"), "1 2\n") << c.title;
        EXPECT_EQ(root.read_file(d + "files"), "bin/x\n") << c.title;
    }
}

TEST(DatabaseTest, StagingFailureStopsAtMetaVersion) {
    temp_root root;
    // A plain file where the record directory belongs: the temporary file
    // for "version" cannot be created beside it.
    root.write_file("/flash/var/pdb/pkg", "");
    auto r = sample_record("pkg");
    r->provisions = {{"x", 0, 0, 0}};
    std::string out = in_root(root, [&] {
        captured_context t;
        file_manifest m;
        bool ok = write_record_meta(t.ctx, *r, m);
        std::string text = manifest_text(m) + messages_text(t.ctx) + (ok ? "ok\n" : "failed\n");
        cancel_manifest(m);
        return text;
    });
    EXPECT_EQ(out,
              "S /flash/var/pdb/pkg/version\n"
              "ERROR: installation of pkg-6.40.1 failed: could not create meta/version: Not a directory\n"
              "failed\n");
}

namespace {

// Runs body in a root that is one small tmpfs, so that staging runs out of
// room. Skips when this machine refuses the mount.
std::string on_small_tmpfs(const temp_root& root, const char* options, const std::function<std::string()>& body,
                           bool& skipped) {
    run_result r = run_in_private_mounts(
        root.path(), [&] { return ::mount("tmpfs", root.path().c_str(), "tmpfs", 0, options) == 0; },
        [&] {
            for (const char* dir : {"/flash", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/pkg", "/ram", "/tmp"})
                ::mkdir(dir, 0755);
            std::string text = body();
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
        });
    skipped = r.status == 77;
    if (!skipped) {
        EXPECT_EQ(r.status, 0) << r.err;
    }
    return r.out;
}

}  // namespace

TEST(DatabaseTest, FullDiskStopsAtTheFirstFailedMetaFile) {
    auto r = sample_record("pkg");
    r->provisions = {{"net", 1, 2, 3}};
    r->files = {"/bin/x"};
    auto write = [&] {
        captured_context t;
        file_manifest m;
        bool ok = write_record_meta(t.ctx, *r, m);
        return manifest_text(m) + messages_text(t.ctx) + (ok ? "ok\n" : "failed\n");
    };
    const std::string d = "/flash/var/pdb/pkg/";
    {
        // No inode left: not even the temporary file for "version" can be made.
        temp_root root;
        bool skipped = false;
        std::string out = on_small_tmpfs(root, "nr_inodes=64,mode=0755", [&] {
            for (int i = 0;; ++i) {
                int fd = ::open(("/flash/fill" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
                if (fd < 0) break;
                ::close(fd);
            }
            return write();
        }, skipped);
        if (skipped) {
            std::printf("skipped: a tmpfs cannot be mounted here\n");
            GTEST_SKIP() << "a tmpfs cannot be mounted here";
        }
        EXPECT_EQ(out, "S " + d + "version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n");
    }
    {
        // One page: "version" takes it; the empty "deps" needs none; the
        // provisions find no room.
        temp_root root;
        bool skipped = false;
        std::string out = on_small_tmpfs(root, "size=4k,mode=0755", write, skipped);
        ASSERT_FALSE(skipped);
        EXPECT_EQ(out, "S " + d + "deps\nS " + d + "provides\nS " + d +
                           "version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n");
    }
}

TEST(DatabaseTest, UnfaithfulRecordsAreRefusedBeforeStaging) {
    struct refuse_case {
        const char* title;
        std::function<void(package_record&)> setup;
        std::string message;
    } cases[] = {
        {"name that climbs out", [](package_record& r) { r.name = "../etc"; },
         "ERROR: installation of ../etc-6.40.1 failed: broken package\n"},
        {"empty name", [](package_record& r) { r.name = ""; },
         "ERROR: installation of -6.40.1 failed: broken package\n"},
        {"requirement name with a blank", [](package_record& r) { r.dependencies = {{"a b", 1, 2, 0}}; },
         "ERROR: installation of pkg-6.40.1 failed: broken package\n"},
        {"empty requirement name", [](package_record& r) { r.conflicts = {{"", 1, 2, 0}}; },
         "ERROR: installation of pkg-6.40.1 failed: broken package\n"},
        {"bundle name with a line end",
         [](package_record& r) { r.bundle_reference = {"a\nb", 1, 1, 0}; },
         "ERROR: installation of a?b-0.01 failed: broken package\n"},
        {"file entry with a line end", [](package_record& r) { r.files = {"/bin/x\n/etc/passwd"}; },
         "ERROR: installation of pkg-6.40.1 failed: broken package\n"},
    };
    for (const refuse_case& c : cases) {
        temp_root root;
        auto r = sample_record("pkg");
        c.setup(*r);
        std::string out = in_root(root, [&] {
            captured_context t;
            file_manifest m;
            bool ok = write_record_meta(t.ctx, *r, m);
            return manifest_text(m) + messages_text(t.ctx) + (ok ? "ok\n" : "failed\n");
        });
        EXPECT_EQ(out, c.message + "failed\n") << c.title;
        EXPECT_EQ(root.list_dir("/flash/var/pdb"), std::vector<std::string>{}) << c.title;
    }

    // The mark operations stage nothing for such a name but still change the flags.
    temp_root root;
    std::string out = in_root(root, [&] {
        auto r = new_package_record("");
        r->scheduled_action = action_disable;
        file_manifest m;
        bool disabled_good = mark_disabled(*r, m);
        std::string text = manifest_text(m) + std::to_string(disabled_good) + std::to_string(r->disabled) +
                           std::to_string(r->scheduled_action);
        r->name = "..";
        r->user_set = true;
        bool enabled_good = mark_enabled(*r, m);
        return text + manifest_text(m) + std::to_string(enabled_good) + std::to_string(r->disabled) + "\n";
    });
    EXPECT_EQ(out, "01000\n");
    EXPECT_TRUE(root.list_dir("/flash/var").size() == 1);
}

TEST(DatabaseTest, RecordsReadBackAsWritten) {
    std::vector<std::unique_ptr<package_record>> written;
    auto full = sample_record("full");
    full->dependencies = {{"a", 1, 2, 0}, {"b", 0, 0, 0}};
    full->provisions = {{"v", 3, 4, -5}, {"w", 0, 0, 2147483647}, {"u", 1, 1, -2147483647 - 1}};
    full->conflicts = {{"c", 0xFFFFFFFF, 0, 0}};
    full->files = {"/bin/x", "/etc/y/z", "/lib/libc.so"};
    full->disabled = full->user_set = true;
    written.push_back(std::move(full));

    auto enabled = sample_record("enabled");
    enabled->build_time = 0xFFFFFFFF;
    enabled->files = {"/a"};
    enabled->user_set = true;
    written.push_back(std::move(enabled));

    auto bundle = sample_record("routeros");
    bundle->bundle = true;
    bundle->disabled = true;
    written.push_back(std::move(bundle));

    auto plain = sample_record("plain-pkg");
    plain->version = make_version(1, 0, 'c', 2);
    written.push_back(std::move(plain));

    // A member keeps its bundle's name, but the bounds are not stored, and a
    // member read from its directory rather than its bundle's image has lost
    // its bundle: it is scheduled for uninstall.
    auto member = sample_record("member");
    member->bundle_reference = {"routeros", v640, v640, 0};
    member->files = {"/m"};
    written.push_back(std::move(member));

    temp_root root;
    std::string out = in_root(root, [&] {
        captured_context t;
        file_manifest m;
        std::string text;
        for (const auto& r : written)
            if (!write_record_meta(t.ctx, *r, m)) text += "write failed: " + r->name + "\n";
        apply_manifest(m, false);
        for (const auto& r : written) {
            auto loaded = new_package_record(r->name);
            load_record_state(*loaded);
            text += describe(*loaded);
            t.ctx.packages.push_back(std::move(loaded));
        }
        for (const auto& r : written) {
            package_record* found = find_package(t.ctx, r->name);
            text += std::to_string(find_package_index(t.ctx, r->name)) + " " + (found ? found->name : "none") + "\n";
        }
        return text + messages_text(t.ctx);
    });

    std::string expected;
    for (const auto& r : written) {
        if (!r->bundle_reference.name.empty()) {
            r->bundle_reference.minimum = r->bundle_reference.maximum = 0;
            r->scheduled_action = action_uninstall;
        }
        expected += describe(*r);
    }
    for (std::size_t i = 0; i < written.size(); ++i) expected += std::to_string(i) + " " + written[i]->name + "\n";
    EXPECT_EQ(out, expected);
}
