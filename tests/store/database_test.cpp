#include "store/database.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "resolve/version.h"
#include "support/captured_context.h"
#include "support/package_text.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t v640 = make_version(6, 40, 'f', 0), v6401 = make_version(6, 40, 'f', 1);
const std::string pdb = "/flash/var/pdb/";

// The manifest one entry a line, paths below the database, then the
// messages reported.
std::string staged(const file_manifest& m, const installer_context& ctx) {
    std::string text;
    for (const auto& [destination, entry] : m.entries)
        text += std::string(entry.kind == entry_kind::staged_file ? "S " : entry.kind == entry_kind::remove ? "U " : "? ") +
                destination.substr(destination.find(pdb) == 0 ? pdb.size() : 0) + "\n";
    for (const std::string& message : ctx.messages) text += message + "\n";
    return text;
}

// Runs body chrooted into the root (the database's paths are absolute) and
// hands back what it returned.
std::string in_root(const temp_root& root, const std::function<std::string()>& body) {
    run_result r = run_in_child(root.path(), [&] {
        std::string text = body();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// write_record_meta in a child: what it staged and reported, and whether
// it held; what it staged is applied.
std::string write_meta(const package_record& r) {
    captured_context t;
    file_manifest m;
    const bool ok = write_record_meta(t.ctx, r, m);
    const std::string text = staged(m, t.ctx) + (ok ? "" : "failed\n");
    apply_manifest(m, false);
    return text;
}

std::unique_ptr<package_record> sample_record(const std::string& name) {
    auto r = new_package_record(name);
    r->version = v6401;
    r->build_time = 1234;
    return r;
}

}  // namespace

TEST(DatabaseTest, NamesAndFailureMessages) {
    auto member = sample_record("wireless");
    EXPECT_EQ(record_directory(*member), "/flash/var/pdb/wireless/");
    EXPECT_EQ(message_name(*member), "wireless-6.40.1");
    member->bundle_reference = {"velnor", 0, 0, 0};
    EXPECT_EQ(message_name(*member), "velnor");
    member->bundle_reference = {"velnor", v640, v640, 0};
    EXPECT_EQ(message_name(*member), "velnor-6.40");
    for (const auto& [name, path] : {std::pair<std::string, std::string>{"a_b.c", "/ram/pdb/abc/schedule"},
                                     {"velnor-X2", "/ram/pdb/velnor-X2/schedule"}, {"a/../b c\xe9", "/ram/pdb/abc/schedule"}, {"_.", ""}})
        EXPECT_EQ(schedule_path(name), path);
    for (const char* good : {"system", "a_b.c", "-x", "x.."}) EXPECT_TRUE(is_valid_record_name(good)) << good;
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "...", ".hidden", "../x", "a/b", std::string("a\0b", 3)})
        EXPECT_FALSE(is_valid_record_name(bad)) << bad;

    const auto plain = sample_record("system");
    const std::tuple<int, const package_record*, const char*, const char*> failures[] = {
        {ENOSPC, plain.get(), "meta/version", "system-6.40.1 failed: disk is too small"},
        {EIO, member.get(), "meta/deps", "velnor-6.40 failed: disk error"},
        {EACCES, plain.get(), "meta/files", "system-6.40.1 failed: could not create meta/files: Permission denied"},
        {0, member.get(), "/flash/x", "velnor-6.40 failed: could not create /flash/x: Success"},
    };
    for (const auto& [error, record, what, message] : failures) {
        captured_context t;
        t.ctx.status_line = "installing...";
        errno = error;
        creation_failure(t.ctx, *record, what);
        EXPECT_EQ(t.ctx.messages, std::vector<std::string>{std::string("ERROR: installation of ") + message});
        EXPECT_TRUE(t.ctx.status_line.empty());  // an error clears the status line
    }
    captured_context t;
    broken_package(t.ctx, *member);
    EXPECT_EQ(t.all(), "ERROR: installation of velnor-6.40 failed: broken package\n");
}

TEST(DatabaseTest, LoadRecordStateFromDirectories) {
    const std::pair<std::string, std::string> v{"version", "100 200\n"}, no_files{"files", ""};
    const struct {
        std::string name;
        std::uint32_t preset;  // version and build time an image gave already
        std::vector<std::pair<std::string, std::string>> files;  // in the record directory
        std::string schedule;                                    // /ram/pdb/<name filtered>/schedule
        std::string loaded;
    } cases[] = {
        {"p", 0, {{"disabled", "auto\n"}}, "", "p 0 0 bundle disabled action1"},
        {"p", 0, {{"disabled", ""}, v, no_files}, "", "p 100 200 disabled user"},
        {"p", 0, {{"disabled", "user\n"}, v, no_files}, "", "p 100 200 disabled user"},
        {"p", 0, {{"disabled", "auto\n"}, {"enabled", "user\n"}, v, {"files", "bin/x\n"}}, "", "p 100 200 /bin/x disabled"},
        {"p", 0, {{"enabled", "user\n"}, v, no_files}, "", "p 100 200 user"},
        {"p", 0, {{"provides", "x 1 2\n"}, v, no_files}, "", "p 100 200 action1"},
        {"p", 0, {{"deps", "x 1 2\n"}, v, no_files}, "", "p 100 200 deps x:1:2:0"},
        {"p", 0, {{"deps", "a 1 2\nb 0 0\n"}, {"provides", "v 3 4 -5\nw 0 0 2147483647\nu 1 1 -2147483648\n"},
                  {"conflicts", "c 4294967295 0"}, v, no_files}, "",
         "p 100 200 deps a:1:2:0 b:0:0:0 prov v:3:4:-5 w:0:0:2147483647 u:1:1:-2147483648 conf c:4294967295:0:0"},
        {"p", 0, {{"deps", "a 1 2\nb 3\n"}, v, no_files}, "", "p 100 200 deps a:1:2:0 action1"},
        {"p", 0, {{"conflicts", "a 4294967296 0\n"}, v, no_files}, "", "p 100 200 action1"},
        {"p", 0, {{"provides", "a 1 1 2147483648\n"}, v, no_files}, "", "p 100 200 action1"},
        {"p", 0, {{"version", "5\n"}, no_files}, "", "p 5 0 action1"},
        {"p", 0, {{"version", "-1 3\n"}, no_files}, "", "p 0 0 action1"},
        {"p", 0, {{"bundle", "velnor\n"}, v, no_files}, "", "p 100 200 in velnor:0:0:0 action1"},
        {"p", 0, {{"bundle", "\n"}, v, no_files}, "", "p 100 200"},
        {"p", 0, {v, {"files", "bin/x\n/etc/y\n\nlib/z"}}, "", "p 100 200 /bin/x /etc/y /lib/z"},
        {"p", 0, {{"disabled", "auto\n"}}, "enable\n", "p 0 0 bundle disabled user action2"},
        {"p", 0, {v, no_files}, "disable now\n", "p 100 200 user action3"},
        {"p", 0, {v, no_files}, "  uninstall", "p 100 200 action1"},
        {"p", 0, {v, no_files}, "Enable\n", "p 100 200"},
        {"a_b.c", 0, {v, no_files}, "disable\n", "a_b.c 100 200 user action3"},
        {"p", 0xFFFFFFFF, {v, {"disabled", "auto\n"}}, "enable\n", "p 4294967295 4294967295 disabled"},
        {"p", 7, {v, {"bundle", "b\n"}, {"deps", "x"}}, "", "p 7 7"},
        {"p", 0, {}, "", "p 0 0 bundle action1"},
    };
    for (const auto& c : cases) {
        temp_root root;
        for (const auto& [file, content] : c.files) root.write_file(pdb + c.name + "/" + file, content);
        std::string filtered = c.name == "a_b.c" ? "abc" : c.name;
        if (!c.schedule.empty()) root.write_file("/ram/pdb/" + filtered + "/schedule", c.schedule);
        if (filtered != c.name) root.write_file("/ram/pdb/" + c.name + "/schedule", "uninstall\n");  // not the package's
        EXPECT_EQ(in_root(root, [&] {
                      auto r = new_package_record(c.name);
                      r->version = r->build_time = c.preset;
                      load_record_state(*r);
                      return package_text(*r);
                  }),
                  c.loaded);
    }
}

// What write_record_meta and the mark operations stage over a record
// directory that holds every file, and what the directory holds once that
// is applied; records that the meta files could not hold faithfully, and
// names that are no record directory, are refused before anything is staged.
TEST(DatabaseTest, WriteRecordMetaAndMarks) {
    using record_change = std::function<void(package_record&)>;
    const auto mark = [](bool disable) {
        return [disable](package_record& r) {
            file_manifest m;
            r.scheduled_action = disable ? action_disable : action_enable;
            const bool good = disable ? mark_disabled(r, m) : mark_enabled(r, m);
            std::string text = staged(m, installer_context{}) + (r.disabled ? "disabled" : "enabled") +
                               (r.scheduled_action ? " action" : "") + (good ? "" : " not good") + "\n";
            apply_manifest(m, false);
            return text;
        };
    };
    const std::function<std::string(package_record&)> write = write_meta;
    const struct {
        record_change setup;
        std::function<std::string(package_record&)> operation;
        std::string staged;
        std::string after;  // the record directory's files once applied
    } cases[] = {
        {[](auto& r) { r.files = {"/bin/x", "etc/y", ""}, r.user_set = true, r.conflicts = {{"k", 1, 1, 0}}; }, write,
         "U pkg/bundle\nS pkg/conflicts\nS pkg/deps\nU pkg/disabled\nS pkg/enabled\nS pkg/files\nS pkg/version\n",
         "conflicts=k 1 1|deps=|enabled=user|files=bin/x etc/y|provides=old 1 2 3|version=103310849 1234|"},
        {[](auto& r) { r.provisions = {{"net", 1, 0, -7}}, r.bundle_reference = {"velnor", v640, v640, 0}, r.disabled = r.user_set = true; },
         write, "S pkg/bundle\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nS pkg/files\nS pkg/provides\nS pkg/version\n",
         "bundle=velnor|conflicts=k 1 1|deps=|disabled=user|files=|provides=net 1 0 -7|version=103310849 1234|"},
        {[](auto& r) { r.disabled = true; }, write, "U pkg/bundle\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nS pkg/files\nS pkg/version\n",
         "conflicts=k 1 1|deps=|disabled=auto|files=|provides=old 1 2 3|version=103310849 1234|"},
        {[](auto& r) { r.bundle = true, r.dependencies = {{"system", v640, 0, 4}}; }, write,
         "U pkg/bundle\nS pkg/deps\nU pkg/disabled\nU pkg/enabled\nS pkg/version\n",
         "conflicts=k 1 1|deps=system 103310848 0|files=old|provides=old 1 2 3|version=103310849 1234|"},
        {[](auto& r) { r.image = r.disabled = true; }, write, "S pkg/disabled\nU pkg/enabled\n",
         "bundle=b|conflicts=k 1 1|disabled=auto|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto& r) { r.header_flags = header_flag_no_meta | header_flag_boot, r.user_set = true; }, write, "U pkg/disabled\nS pkg/enabled\n",
         "bundle=b|conflicts=k 1 1|enabled=user|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto&) {}, mark(true), "S pkg/disabled\nU pkg/enabled\ndisabled\n", "bundle=b|conflicts=k 1 1|disabled=auto|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto& r) { r.user_set = true; }, mark(true), "S pkg/disabled\nU pkg/enabled\ndisabled\n", "bundle=b|conflicts=k 1 1|disabled=user|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto& r) { r.user_set = true; }, mark(false), "U pkg/disabled\nS pkg/enabled\nenabled\n", "bundle=b|conflicts=k 1 1|enabled=user|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto&) {}, mark(false), "U pkg/disabled\nU pkg/enabled\nenabled\n", "bundle=b|conflicts=k 1 1|files=old|provides=old 1 2 3|version=1 2|"},
        {[](auto& r) { r.name = ".."; }, mark(false), "enabled not good\n", ""},
        {[](auto& r) { r.name = ""; }, mark(true), "disabled not good\n", ""},
        {[](auto& r) { r.name = "../etc"; }, write, "ERROR: installation of ../etc-6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.name = ""; }, write, "ERROR: installation of -6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.dependencies = {{"a b", 1, 2, 0}}; }, write, "ERROR: installation of pkg-6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.conflicts = {{"", 1, 2, 0}}; }, write, "ERROR: installation of pkg-6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.bundle_reference = {"a\nb", 1, 1, 0}; }, write, "ERROR: installation of a\nb-0.01 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.files = {"/bin/x\n/etc/passwd"}; }, write, "ERROR: installation of pkg-6.40.1 failed: broken package\nfailed\n", ""},
    };
    for (const auto& c : cases) {
        temp_root root;
        const std::string before = "bundle=b|conflicts=k 1 1|disabled=user|enabled=user|files=old|provides=old 1 2 3|version=1 2|";
        for (const std::string file : {"bundle=b", "conflicts=k 1 1", "disabled=user", "enabled=user", "files=old", "provides=old 1 2 3", "version=1 2"})
            root.write_file(pdb + "pkg/" + file.substr(0, file.find('=')), file.substr(file.find('=') + 1) + "\n");
        auto r = sample_record("pkg");
        c.setup(*r);
        EXPECT_EQ(in_root(root, [&] { return c.operation(*r); }), c.staged);
        std::string after;
        for (const std::string& file : root.list_dir(pdb + "pkg")) {
            std::string content = root.read_file(pdb + "pkg/" + file);
            for (char& ch : content) ch = ch == '\n' ? ' ' : ch;
            after += file + "=" + content.substr(0, content.size() - 1) + "|";
        }
        EXPECT_EQ(after, c.after.empty() ? before : c.after) << c.staged;
        EXPECT_EQ(root.list_dir(pdb), std::vector<std::string>{"pkg"});
    }
}

// Staging that fails stops at the first meta file that could not be made,
// and says why: a plain file where the record directory belongs, no inode
// left, no block left (a full disk only shows when the file is closed).
TEST(DatabaseTest, FailedStagingStopsAtTheFirstFailedMetaFile) {
    auto r = sample_record("pkg");
    r->provisions = {{"net", 1, 2, 3}};
    r->files = {"/bin/x"};
    const struct {
        const char* mount;  // tmpfs options for the whole root, or none
        std::string result;
    } cases[] = {
        {nullptr, "S pkg/version\nERROR: installation of pkg-6.40.1 failed: could not create meta/version: Not a directory\nfailed\n"},
        {"nr_inodes=64,mode=0755", "S pkg/version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n"},
        {"size=4k,mode=0755", "S pkg/deps\nS pkg/provides\nS pkg/version\nERROR: installation of pkg-6.40.1 failed: disk is too small\nfailed\n"},
    };
    for (const auto& c : cases) {
        temp_root root;
        if (!c.mount) root.write_file(pdb + "pkg", "");
        run_result out = run_in_private_mounts(
            root.path(), [&] { return !c.mount || mount_tmpfs(root.path(), c.mount); },
            [&] {
                for (const char* dir : {"/flash", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/pkg", "/ram", "/tmp"}) ::mkdir(dir, 0755);
                for (int i = 0; c.mount && c.mount[0] == 'n'; ++i) {  // every inode taken
                    int fd = ::open(("/flash/fill" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
                    if (fd < 0) break;
                    ::close(fd);
                }
                captured_context t;
                file_manifest m;
                const bool ok = write_record_meta(t.ctx, *r, m);
                std::printf("%s%s", staged(m, t.ctx).c_str(), ok ? "" : "failed\n");
                cancel_manifest(m);
                return 0;
            });
        if (out.status == 77) GTEST_SKIP() << "a tmpfs cannot be mounted here: " << out.err;
        EXPECT_EQ(out.out, c.result) << out.err;
    }
}

// Records written and loaded back read as they were written, but for the
// bounds of a bundle reference, which are not stored; a member read from
// its own directory rather than its bundle's image has lost its bundle.
TEST(DatabaseTest, RecordsReadBackAsWritten) {
    std::vector<std::unique_ptr<package_record>> written;
    for (const char* name : {"full", "enabled", "velnor", "plain-pkg", "member"}) written.push_back(sample_record(name));
    written[0]->dependencies = {{"a", 1, 2, 0}, {"b", 0, 0, 0}};
    written[0]->provisions = {{"v", 3, 4, -5}, {"w", 0, 0, 2147483647}, {"u", 1, 1, -2147483647 - 1}};
    written[0]->conflicts = {{"c", 0xFFFFFFFF, 0, 0}};
    written[0]->files = {"/bin/x", "/etc/y/z", "/lib/libc.so"};
    written[0]->disabled = written[0]->user_set = written[1]->user_set = true;
    written[1]->build_time = 0xFFFFFFFF;
    written[1]->files = {"/a"};
    written[2]->bundle = written[2]->disabled = true;
    written[3]->version = make_version(1, 0, 'c', 2);
    written[4]->bundle_reference = {"velnor", v640, v640, 0};
    written[4]->files = {"/m"};
    temp_root root;
    const std::string out = in_root(root, [&] {
        captured_context t;
        file_manifest m;
        for (const auto& r : written) write_record_meta(t.ctx, *r, m);
        apply_manifest(m, false);
        std::string text = staged(file_manifest{}, t.ctx);
        for (const auto& r : written) {
            t.ctx.packages.push_back(new_package_record(r->name));
            load_record_state(*t.ctx.packages.back());
            text += package_text(*t.ctx.packages.back()) + "\n";
        }
        for (const auto& r : written) text += std::to_string(find_package_index(t.ctx, r->name)) + find_package(t.ctx, r->name)->name + " ";
        return text + std::to_string(find_package_index(t.ctx, "none")) + (find_package(t.ctx, "none") ? "found" : "");
    });
    written[4]->bundle_reference = {"velnor", 0, 0, 0};
    written[4]->scheduled_action = action_uninstall;
    std::string expected;
    for (const auto& r : written) expected += package_text(*r) + "\n";
    EXPECT_EQ(out, expected + "0full 1enabled 2velnor 3plain-pkg 4member -1");
}
