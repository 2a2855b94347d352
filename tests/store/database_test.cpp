#include "store/database.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <functional>
#include <sstream>

#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_line.h"

namespace {

const std::string pdb = "/flash/var/pdb/";
const std::string before = "bundle=b\n|conflicts=k 1 1\n|disabled=user\n|enabled=user\n|files=old\n|"
                           "provides=old 1 2 3\n|version=1 2\n";

// What a directory holds, as "name=content|name=content".
std::string files_of(const temp_root& root, const std::string& dir) {
    std::string text;
    for (const std::string& name : root.list_dir(dir)) text += (text.empty() ? "" : "|") + name + "="
        + root.read_file(dir + name);
    return text;
}

// What a manifest stages below the database, one entry a line ("S" staged, "U" removed), then the messages.
std::string staged(const file_manifest& m, const installer_context& ctx) {
    std::string text;
    for (const auto& [destination, e] : m.entries)
        text += (e.kind == entry_kind::remove ? "U " : "S ") + destination.substr(pdb.size()) + "\n";
    for (const std::string& message : ctx.messages) text += message + "\n";
    return text;
}

std::string write_meta(package_record& r) {
    captured_context t;
    file_manifest m;
    const bool ok = write_record_meta(t.ctx, r, m);
    apply_manifest(m, false);
    return staged(m, t.ctx) + (ok ? "" : "failed\n");
}

std::function<std::string(package_record&)> mark(bool disable) {
    return [disable](package_record& r) {
        file_manifest m;
        r.scheduled_action = action_enable;
        const bool good = disable ? mark_disabled(r, m) : mark_enabled(r, m);
        apply_manifest(m, false);
        return staged(m, installer_context{}) + (r.disabled ? "disabled" : "enabled") +
               (r.scheduled_action != action_none || !good ? "?\n" : "\n");
    };
}

}  // namespace

// What write_record_meta and the mark operations stage over a directory that holds every file, and the directory once
// that is applied; records the meta files could not hold faithfully, and names that are no record directory, are
// refused before anything is staged.
TEST(DatabaseTest, WriteRecordMetaAndMarks) {
    const std::string broken = "ERROR: installation of pkg-6.40.1 failed: broken package\nfailed\n";
    const struct {
        std::function<void(package_record&)> setup;
        std::function<std::string(package_record&)> operation;
        std::string staged, after;  // after: the directory once applied, "" for as before
    } cases[] = {
        {[](auto& r) { r.files = {"/bin/x", "etc/y", ""}, r.user_set = true, r.conflicts = {{"k", 1, 1, 0}}; },
            write_meta,
         "U pkg/bundle\nS pkg/conflicts\nS pkg/deps\nU pkg/disabled\nS pkg/enabled\nS pkg/files\nU pkg/provides\n"
         "S pkg/version\n",
         "conflicts=k 1 1\n|deps=|enabled=user\n|files=bin/x\netc/y\n|version=103310849 1234\n"},
        {[](auto& r) {
             r.provisions = {{"net", 1, 0, -7}}, r.bundle_reference = {"velnor", 1, 1, 0};
             r.disabled = r.user_set = true;
         },
         write_meta,
         "S pkg/bundle\nU pkg/conflicts\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nS pkg/files\nS pkg/provides\n"
         "S pkg/version\n",
         "bundle=velnor\n|deps=|disabled=user\n|files=|provides=net 1 0 -7\n|version=103310849 1234\n"},
        {[](auto& r) { r.bundle = r.disabled = true, r.dependencies = {{"system", 7, 0, 4}}; }, write_meta,
         "U pkg/bundle\nU pkg/conflicts\nS pkg/deps\nS pkg/disabled\nU pkg/enabled\nU pkg/provides\nS pkg/version\n",
         "deps=system 7 0\n|disabled=auto\n|files=old\n|version=103310849 1234\n"},
        {[](auto& r) { r.image = r.disabled = true; }, write_meta, "S pkg/disabled\nU pkg/enabled\nU pkg/files\n",
         "bundle=b\n|conflicts=k 1 1\n|disabled=auto\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.header_flags = header_flag_no_meta | header_flag_boot, r.user_set = true; }, write_meta,
         "U pkg/disabled\nS pkg/enabled\nU pkg/files\n",
         "bundle=b\n|conflicts=k 1 1\n|enabled=user\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto&) {}, mark(true), "S pkg/disabled\nU pkg/enabled\ndisabled\n",
         "bundle=b\n|conflicts=k 1 1\n|disabled=auto\n|files=old\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.user_set = true; }, mark(false), "U pkg/disabled\nS pkg/enabled\nenabled\n",
         "bundle=b\n|conflicts=k 1 1\n|enabled=user\n|files=old\n|provides=old 1 2 3\n|version=1 2\n"},
        {[](auto& r) { r.name = ".."; }, mark(false), "enabled?\n", ""},
        {[](auto& r) { r.name = "../etc"; }, write_meta,
         "ERROR: installation of ../etc-6.40.1 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.dependencies = {{"a b", 1, 2, 0}}; }, write_meta, broken, ""},
        {[](auto& r) { r.bundle_reference = {"a\nb", 1, 1, 0}; }, write_meta,
         "ERROR: installation of a?b-0.01 failed: broken package\nfailed\n", ""},
        {[](auto& r) { r.files = {"/bin/x\n/etc/passwd"}; }, write_meta, broken, ""},
    };
    for (const auto& c : cases) {
        temp_root root;
        std::istringstream items(before);
        for (std::string item; std::getline(items, item, '|');)
            root.write_file(pdb + "pkg/" + item.substr(0, item.find('=')), item.substr(item.find('=') + 1));
        auto r = line::object("pkg-6.40.1 @1234");
        c.setup(*r);
        const run_result run = run_in_child(root.path(), [&] { return std::fputs(c.operation(*r).c_str(), stdout),
            0; });
        EXPECT_EQ(run.out, c.staged) << run.err;
        EXPECT_EQ(files_of(root, pdb + "pkg/") + "\n", (c.after.empty() ? before : c.after) + "\n") << c.staged;
        EXPECT_EQ(root.list_dir(pdb), std::vector<std::string>{"pkg"});  // no temporary file left behind
    }
}

// Staging that fails stops at the first file that could not be made, and says why: a plain file where the record
// directory belongs, no inode left, no block left.
TEST(DatabaseTest, FailedStagingStopsAtTheFirstFile) {
    const std::string failed = "ERROR: installation of pkg-6.40.1 failed: ";
    const std::pair<const char*, std::string> cases[] = {
        {"", failed + "could not create meta/version: Not a directory\nfailed\n"},
        {"nr_inodes=64,mode=0755", failed + "disk is too small\nfailed\n"},
        {"size=4k,mode=0755", "S pkg/version\n" + failed + "disk is too small\nfailed\n"},  // the list of staged files takes the block
    };
    for (const auto& [mount, result] : cases) {
        temp_root root;
        if (!*mount) root.write_file(pdb + "pkg", "");
        auto r = line::object("pkg-6.40.1 @1234 +net:0.01:0.02:3 /bin/x");
        const auto setup = [&] { return !*mount || mount_tmpfs(root.path(), mount); };
        const run_result out = run_in_private_mounts(root.path(), setup, [&] {
            for (const char* dir : {"/flash", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/pkg", "/ram", "/tmp"})
                ::mkdir(dir, 0755);
            for (int i = 0; mount[0] == 'n' && ::open(("/flash/fill" + std::to_string(i)).c_str(), O_CREAT, 0644) >= 0;)
                ++i;
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
