#include "store/database.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <cerrno>
#include <functional>

#include "resolve/version.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_text.h"

namespace {

const std::string pdb = "/flash/var/pdb/";

// Writes "name=content|name=content" below dir, "\n" for line ends.
void write_files(const temp_root& root, const std::string& dir, const std::string& files) {
    for (std::size_t at = 0, end; at < files.size(); at = end + 1) {
        end = std::min(files.find('|', at), files.size());
        const std::string item = files.substr(at, end - at);
        root.write_file(dir + item.substr(0, item.find('=')), item.substr(item.find('=') + 1));
    }
}

// What a directory holds, the same way; what a manifest stages below the database, one entry a line ("S" staged, "U" removed),
// then the messages.
std::string files_of(const temp_root& root, const std::string& dir) {
    std::string text;
    for (const std::string& name : root.list_dir(dir)) text += (text.empty() ? "" : "|") + name + "=" + root.read_file(dir + name);
    return text;
}
std::string staged(const file_manifest& m, const installer_context& ctx) {
    std::string text;
    for (const auto& [destination, e] : m.entries) text += (e.kind == entry_kind::remove ? "U " : "S ") + destination.substr(pdb.size()) + "\n";
    for (const std::string& message : ctx.messages) text += message + "\n";
    return text;
}

// Runs body chrooted into the root (the database's paths are absolute); what it returned.
std::string in_root(const temp_root& root, const std::function<std::string()>& body) {
    run_result r = run_in_child(root.path(), [&] { return std::fputs(body().c_str(), stdout), 0; });
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::unique_ptr<package_record> record(const std::string& name) {
    auto r = new_package_record(name);
    r->version = make_version(6, 40, 'f', 1), r->build_time = 1234;
    return r;
}

}  // namespace

TEST(DatabaseTest, NamesAndFailureMessages) {
    auto member = record("wireless");
    EXPECT_EQ(record_directory(*member) + " " + message_name(*member), "/flash/var/pdb/wireless/ wireless-6.40.1");
    member->bundle_reference = {"velnor", make_version(6, 40, 'f', 0), 1, 0};
    for (const auto& [name, path] : {std::pair<std::string, std::string>{"a_b.c", "/ram/pdb/abc/schedule"}, {"velnor-X2", "/ram/pdb/velnor-X2/schedule"}, {"a/../b c\xe9", "/ram/pdb/abc/schedule"}, {"_.", ""}})
        EXPECT_EQ(schedule_path(name), path);
    for (const std::string& name : std::vector<std::string>{"system", "a_b.c", "-x", "x..", "", ".", "..", ".hidden", "../x", "a/b", "a b", "a\nb", std::string("a\0b", 3)})
        EXPECT_EQ(is_valid_record_name(name), name == "system" || name == "a_b.c" || name == "-x" || name == "x..") << name;
    captured_context t;
    t.ctx.status_line = "installing...";
    for (const int error : {EIO, EACCES}) errno = error, creation_failure(t.ctx, *member, "meta/deps");
    broken_package(t.ctx, *member);
    EXPECT_EQ(t.ctx.messages, (std::vector<std::string>{"ERROR: installation of velnor-6.40 failed: disk error",
                                                       "ERROR: installation of velnor-6.40 failed: could not create meta/deps: Permission denied",
                                                       "ERROR: installation of velnor-6.40 failed: broken package"}));
    EXPECT_TRUE(t.ctx.status_line.empty());  // an error clears the status line
}

// A record completed from its directory when no image described it: meta files of strict unsigned numbers (a broken one schedules
// the uninstall, keeping what was read), the state files, and the schedule of the name filtered to letters, digits and "-", never
// for a placeholder.
TEST(DatabaseTest, LoadRecordStateFromDirectories) {
    const struct {
        std::string name;
        std::uint32_t preset;  // version and build time an image gave
        std::string files, schedule, loaded;
    } cases[] = {
        {"p", 0, "disabled=auto\n", "", "p 0 0 bundle disabled action1"},
        {"p", 0, "disabled=|version=100 200\n|files=", "", "p 100 200 disabled user"},
        {"p", 0, "disabled=user\n|version=100 200\n|files=", "", "p 100 200 disabled user"},
        {"p", 0, "disabled=auto\n|enabled=user\n|version=100 200\n|files=bin/x\n", "", "p 100 200 /bin/x disabled"},
        {"p", 0, "enabled=user\n|version=100 200\n|files=", "", "p 100 200 user"},
        {"p", 0, "provides=x 1 2\n|version=100 200\n|files=", "", "p 100 200 action1"},
        {"p", 0, "deps=x 1 2\n|version=100 200\n|files=", "", "p 100 200 deps x:1:2:0"},
        {"p", 0, "deps=a 1 2\nb 0 0\n|provides=v 3 4 -5\nw 0 0 2147483647\nu 1 1 -2147483648\n|conflicts=c 4294967295 0|version=100 200\n|files=", "",
         "p 100 200 deps a:1:2:0 b:0:0:0 prov v:3:4:-5 w:0:0:2147483647 u:1:1:-2147483648 conf c:4294967295:0:0"},
        {"p", 0, "deps=a 1 2\nb 3\n|version=100 200\n|files=", "", "p 100 200 deps a:1:2:0 action1"},
        {"p", 0, "conflicts=a 4294967296 0\n|version=100 200\n|files=", "", "p 100 200 action1"},
        {"p", 0, "provides=a 1 1 2147483648\n|version=100 200\n|files=", "", "p 100 200 action1"},
        {"p", 0, "version=5\n|files=", "", "p 5 0 action1"},
        {"p", 0, "version=-1 3\n|files=", "", "p 0 0 action1"},
        {"p", 0, "bundle=velnor\n|version=100 200\n|files=", "", "p 100 200 in velnor:0:0:0 action1"},
        {"p", 0, "bundle=\n|version=100 200\n|files=", "", "p 100 200"},
        {"p", 0, "version=100 200\n|files=bin/x\n/etc/y\n\nlib/z", "", "p 100 200 /bin/x /etc/y /lib/z"},
        {"p", 0, "disabled=auto\n", "enable\n", "p 0 0 bundle disabled user action2"},
        {"p", 0, "version=100 200\n|files=", "disable now\n", "p 100 200 user action3"},
        {"p", 0, "version=100 200\n|files=", "  uninstall", "p 100 200 action1"},
        {"p", 0, "version=100 200\n|files=", "Enable\n", "p 100 200"},
        {"a_b.c", 0, "version=100 200\n|files=", "disable\n", "a_b.c 100 200 user action3"},
        {"p", 0xFFFFFFFF, "version=100 200\n|disabled=auto\n", "enable\n", "p 4294967295 4294967295 disabled"},
        {"p", 7, "version=100 200\n|bundle=b\n|deps=x", "", "p 7 7"},
        {"p", 0, "", "", "p 0 0 bundle action1"},
    };
    for (const auto& c : cases) {
        temp_root root;
        write_files(root, pdb + c.name + "/", c.files);
        if (!c.schedule.empty()) root.write_file(schedule_path(c.name), c.schedule);
        root.write_file("/ram/pdb/" + c.name + "/schedule", c.name == "p" ? c.schedule : "uninstall\n");  // the unfiltered name's is not the package's
        EXPECT_EQ(in_root(root, [&] {
                      auto r = new_package_record(c.name);
                      r->version = r->build_time = c.preset;
                      return load_record_state(*r), package_text(*r);
                  }),
                  c.loaded) << c.files;
    }
}

// What write_record_meta and the mark operations stage over a directory that holds every file, and the directory once that is
// applied; records the meta files could not hold faithfully, and names that are no record directory, are refused before anything
// is staged; staging that fails stops at the first file that could not be made, and says why.
TEST(DatabaseTest, WriteRecordMetaAndMarks) {
    const std::string before = "bundle=b\n|conflicts=k 1 1\n|disabled=user\n|enabled=user\n|files=old\n|provides=old 1 2 3\n|version=1 2\n";
    const auto write = [](package_record& r) {
        captured_context t;
        file_manifest m;
        const bool ok = write_record_meta(t.ctx, r, m);
        return apply_manifest(m, false), staged(m, t.ctx) + (ok ? "" : "failed\n");
    };
    const auto mark = [](bool disable) {
        return [disable](package_record& r) {
            file_manifest m;
            r.scheduled_action = action_enable;
            const bool good = disable ? mark_disabled(r, m) : mark_enabled(r, m);
            apply_manifest(m, false);
            return staged(m, installer_context{}) + (r.disabled ? "disabled" : "enabled") + (r.scheduled_action || !good ? "?\n" : "\n");
        };
    };
    const std::string broken = "ERROR: installation of pkg-6.40.1 failed: broken package\nfailed\n";
    const struct {
        std::function<void(package_record&)> setup;
        std::function<std::string(package_record&)> operation;
        std::string staged, after;  // after: the directory once applied, "" for as before
    } cases[] = {
        {[](auto& r) { r.files = {"/bin/x", "etc/y", ""}, r.user_set = true, r.conflicts = {{"k", 1, 1, 0}}; }, write, "U pkg/bundle\nS pkg/conflicts\nS pkg/deps\nU pkg/disabled\nS pkg/enabled\nS pkg/files\nU pkg/provides\nS pkg/version\n",
         "conflicts=k 1 1\n|deps=|enabled=user\n|files=bin/x\netc/y\n|version=103310849 1234\n"},
        {[](auto& r) { r.provisions = {{"net", 1, 0, -7}}, r.bundle_reference = {"velnor", 1, 1, 0}, r.disabled = r.user_set = true; }, write, "S pkg/bundle\nU pkg/conflicts\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nS pkg/files\nS pkg/provides\nS pkg/version\n",
         "bundle=velnor\n|deps=|disabled=user\n|files=|provides=net 1 0 -7\n|version=103310849 1234\n"},
        {[](auto& r) { r.bundle = r.disabled = true, r.dependencies = {{"system", 7, 0, 4}}; }, write, "U pkg/bundle\nU pkg/conflicts\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nU pkg/provides\nS pkg/version\n",
         "deps=system 7 0\n|disabled=auto\n|files=old\n|version=103310849 1234\n"},
        {[](auto& r) { r.image = r.disabled = true; }, write, "S pkg/disabled\nU pkg/enabled\nU pkg/files\n",
         "bundle=b\n|conflicts=k 1 1\n|disabled=auto\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.header_flags = header_flag_no_meta | header_flag_boot, r.user_set = true; }, write, "U pkg/disabled\nS pkg/enabled\nU pkg/files\n",
         "bundle=b\n|conflicts=k 1 1\n|enabled=user\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto&) {}, mark(true), "S pkg/disabled\nU pkg/enabled\ndisabled\n", "bundle=b\n|conflicts=k 1 1\n|disabled=auto\n|files=old\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.user_set = true; }, mark(false), "U pkg/disabled\nS pkg/enabled\nenabled\n",
         "bundle=b\n|conflicts=k 1 1\n|enabled=user\n|files=old\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.name = ".."; }, mark(false), "enabled?\n", ""},
        {[](auto& r) { r.name = "../etc"; }, write, "ERROR: installation of ../etc-6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.dependencies = {{"a b", 1, 2, 0}}; }, write, broken, ""},
        {[](auto& r) { r.bundle_reference = {"a\nb", 1, 1, 0}; }, write, "ERROR: installation of a?b-0.01 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.files = {"/bin/x\n/etc/passwd"}; }, write, broken, ""},
    };
    for (const auto& c : cases) {
        temp_root root;
        write_files(root, pdb + "pkg/", before);
        auto r = record("pkg");
        c.setup(*r);
        EXPECT_EQ(in_root(root, [&] { return c.operation(*r); }), c.staged);
        EXPECT_EQ(files_of(root, pdb + "pkg/") + "\n", (c.after.empty() ? before : c.after) + "\n") << c.staged;
        EXPECT_EQ(root.list_dir(pdb), std::vector<std::string>{"pkg"});  // no temporary file left behind
    }

    for (const auto& [mount, result] : {std::pair{"", "S pkg/version\nERROR: installation of pkg-6.40.1 failed: could not create meta/version: Not a directory\nfailed\n"},
                                        std::pair{"nr_inodes=64,mode=0755", "S pkg/version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n"},
                                        std::pair{"size=4k,mode=0755", "S pkg/deps\nS pkg/provides\nS pkg/version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n"}}) {
        temp_root root;  // a plain file where the record directory belongs; no inode left; no block left
        if (!*mount) root.write_file(pdb + "pkg", "");
        auto r = record("pkg");
        r->provisions = {{"net", 1, 2, 3}}, r->files = {"/bin/x"};
        run_result out = run_in_private_mounts(root.path(), [&] { return !*mount || mount_tmpfs(root.path(), mount); }, [&] {
            for (const char* dir : {"/flash", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/pkg", "/ram", "/tmp"}) ::mkdir(dir, 0755);
            for (int i = 0; mount[0] == 'n' && ::open(("/flash/fill" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644) >= 0; ++i) {
            }
            captured_context t;
            file_manifest m;
            const bool ok = write_record_meta(t.ctx, *r, m);
            std::fputs((staged(m, t.ctx) + (ok ? "" : "failed\n")).c_str(), stdout);
            return cancel_manifest(m), 0;
        });
        if (out.status == 77) GTEST_SKIP() << "a tmpfs cannot be mounted here: " << out.err;
        EXPECT_EQ(out.out, result) << out.err;
    }
}
