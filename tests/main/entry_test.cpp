#include "main/entry.h"

#include <gtest/gtest.h>

#include "console/context.h"
#include "manifest/file_helpers.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

const std::string usage = "usage: installer [-q] [-r <root>] [-]\n", resuming = "\nResuming upgrade...\n";
const std::string table_header = "            Name          Version                Built                                    Note\n" + std::string(94, '-') + "\n";

}  // namespace

// Options in any order; the first one not known prints the usage line and ends the run with 0; "-r" needs an argument; "--
// reinstall" prints its lines at once; "-", "--cleanup", "--commit" and "--cancel" end the parsing; the compatibility options
// change nothing, and "-q" does not silence the table. None of these runs changes anything in the root.
TEST(EntryTest, Options) {
    temp_root root;
    root.write_file("/ram/MANIFEST", "U /flash/keep\n");
    root.write_file("/flash/keep", "k");
    const std::vector<std::string> before = snapshot(root.path());
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"--bogus"}, usage, 0},          {{"-r"}, usage, 0},           {{"-q", "-r"}, usage, 0},
        {{"--show", "--bogus"}, usage, 0}, {{"--SHOW"}, usage, 0},       {{"-rq"}, usage, 0},
        {{""}, usage, 0},                 {{"--safe", "-down", "-x"}, usage, 0},
        {{"--reinstall", "--bogus"}, resuming + usage, 0}, {{"-q", "--reinstall", "-r"}, resuming + usage, 0},
        {{"--show"}, table_header, 0},    {{"-b", "--force", "--noupgrade", "-i", "--show"}, table_header, 0},
        {{"-q", "--show"}, table_header, 0}, {{"--show", "-q"}, table_header, 0},
        {{"--cleanup", "--bogus"}, "", 0}, {{"--cleanup", "--commit"}, "", 0}, {{"--cleanup", "--cancel"}, "", 0},
        {{"--show", "-"}, table_header, 0},
        {{"-", "--bogus"}, "WARNING: could not open repo\nERROR: could not open image\n", 255},
        {{"-", "--show"}, "WARNING: could not open repo\nERROR: could not open image\n", 255},
        {{"-r", "/", "-r", "/missing", "--show"}, "", 1},  // the last "-r" wins
        {{"-r", "/missing", "-r", "/", "--show"}, table_header, 0},
    };
    for (const auto& c : cases) {
        const bool without_database = c.status == 255;
        if (without_database) ::rename(root.host("/flash/var/pdb").c_str(), root.host("/flash/var/saved").c_str());
        run_result r = run_entry(root.path(), c.args);
        if (without_database) ::rename(root.host("/flash/var/saved").c_str(), root.host("/flash/var/pdb").c_str());
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(snapshot(root.path()), before) << c.args[0];
    }
    for (const char* arch : {"", "ppc", static_cast<const char*>(nullptr)}) {
        run_result r = run_in_child(root.path(), [&] {
            arch ? ::setenv("arch", arch, 1) : ::unsetenv("arch");
            std::vector<std::string> words = {"installer", "-q", "--show"};
            char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
            return installer_main(3, argv) == 0 && context().quiet && context().architecture == (arch ? arch : "i386") ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0) << (arch ? arch : "unset") << r.err;
    }
    run_result real = run_installer({"--bogus"});
    EXPECT_EQ(real.out + std::to_string(real.status), usage + "0");
}

// "--commit" applies the saved manifest (removals before moves, links, moves across file systems with the spinner) and keeps it,
// before any root change; "--cancel" deletes it with the files it staged, and only those: "tmp" and six letters or digits in
// /ram, /tmp, or the destination's directory or an ancestor; a downloaded package file stays.
TEST(EntryTest, CommitAndCancelTheSavedManifest) {
    temp_root root;
    const std::string saved = "U /flash/old\nU /flash/pkg\nL /flash/link /flash/target\nM /flash/./pkg/file /flash/tmpAbc123\nM /flash/new /ram/tmpXyz789\n";
    for (const char* base : {"", "/other"}) {
        root.write_file(std::string(base) + "/ram/MANIFEST", saved);
        for (const char* file : {"/flash/old", "/flash/pkg/a", "/flash/tmpAbc123", "/ram/tmpXyz789"}) root.write_file(base + std::string(file), file);
    }
    run_result r = run_entry(root.path(), {"-r", "/other", "--commit", "--bogus"});
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "finishing install... \b \n0");
    EXPECT_EQ(root.list_dir("/flash"), (std::vector<std::string>{"boot", "link", "new", "pkg", "var"}));
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"file"});
    EXPECT_EQ(root.read_file("/flash/pkg/file") + root.read_file("/flash/new"), "/flash/tmpAbc123/ram/tmpXyz789");
    EXPECT_TRUE(is_link_to(root.host("/flash/link"), "/flash/target") && root.exists("/other/flash/old"));
    EXPECT_EQ(root.read_file("/ram/MANIFEST"), saved);
    temp_root empty;
    EXPECT_EQ(run_entry(empty.path(), {"--commit"}).out, "finishing install... \b \n");

    temp_root mounted;
    mounted.write_file("/ram/MANIFEST", "M /flash/f /ram/tmpAbc123\n");
    mounted.write_file("/ram/tmpAbc123", std::string(40000, 'c'));
    r = run_in_private_mounts(mounted.path(), [&] { return mount_tmpfs(mounted.host("/flash"), "256k"); }, [] {
        set_uptime_source_for_testing([] { static std::uint32_t now = 5000; return now += 100; });
        char* argv[] = {const_cast<char*>("installer"), const_cast<char*>("--commit"), nullptr};
        return installer_main(2, argv) == 0 && read_host_file("/flash/f") == std::string(40000, 'c') ? 0 : 1;
    });
    if (r.status != 77) { EXPECT_EQ(r.out + std::to_string(r.status), "finishing install... |\b/\b-\b \n0") << r.err; }

    root.write_file("/ram/MANIFEST", "M /flash/var/pdb/net/files /flash/var/pdb/tmpAAAAAA\nM /flash/var/pdb/net/version /flash/var/pdb/net/tmpBBBBBB\n"
                                     "M /flash/x /ram/tmpCCCCCC\nM /flash/y /tmp/tmpDDDDDD\nM /flash/z /rw/pckg/.download/a.qpk\n"
                                     "M /flash/w /rw/pckg/tmpEEEEEE\nM /flash/v /flash/var/tmpFFFFFF\nM /flash/u /flash/tmpGGGGGGG\n"
                                     "M /flash/t /flash/tmp-_.,+=\nU /flash/keep\nL /flash/link2 /flash/keep\n");
    const std::vector<std::string> deleted = {"/flash/var/pdb/tmpAAAAAA", "/flash/var/pdb/net/tmpBBBBBB", "/ram/tmpCCCCCC", "/tmp/tmpDDDDDD"};
    const std::vector<std::string> kept = {"/rw/pckg/.download/a.qpk", "/rw/pckg/tmpEEEEEE", "/flash/var/tmpFFFFFF",
                                           "/flash/tmpGGGGGGG", "/flash/tmp-_.,+=", "/flash/keep"};
    for (const std::string& path : deleted) root.write_file(path, "staged");
    for (const std::string& path : kept) root.write_file(path, "kept");
    r = run_entry(root.path(), {"--cancel", "--bogus"});
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "0");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    for (const std::string& path : deleted) { EXPECT_FALSE(root.exists(path)) << path; }
    for (const std::string& path : kept) { EXPECT_EQ(root.read_file(path), "kept") << path; }
    EXPECT_FALSE(root.exists("/flash/x") || root.exists("/flash/link2"));
    EXPECT_EQ(run_entry(root.path(), {"--cancel"}).status, 0);
}

// A root that cannot be changed into ends the run having changed nothing (an upgrade in the old root would have failed its space
// check and written the log). Without room on flash (an unmounted /flash/boot) an upgrade ends with 28 and logs why, quietly
// without the log; "--reinstall" skips the check; an upgrade that stages nothing changes nothing.
TEST(EntryTest, UpgradeRunsAndTheRootChange) {
    temp_root root;
    ::rmdir(root.host("/flash/boot").c_str());
    std::vector<std::string> before = snapshot(root.path());
    run_result r = run_entry(root.path(), {"-r", "/missing"});
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "chroot: No such file or directory\n1");
    EXPECT_EQ(snapshot(root.path()), before);
    r = run_entry(root.path(), {"-q"});
    EXPECT_EQ(r.out + std::to_string(r.status), "28");
    EXPECT_EQ(r.out + std::to_string(run_entry(root.path(), {"--reinstall"}).status), "0");
    EXPECT_EQ(snapshot(root.path()), before);
    r = run_entry(root.path(), {"-down"});
    EXPECT_EQ(r.out + std::to_string(r.status), "ERROR: not enough space for upgrade\n28");
    EXPECT_EQ(root.read_file("/flash/postlog"), "ERROR: not enough space for upgrade\n");
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
    r = run_installer({"-r", root.path()});
    EXPECT_EQ(r.out + std::to_string(r.status), "ERROR: not enough space for upgrade\n28");

    temp_root fine;
    before = snapshot(fine.path());
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--safe"}, {"-down"}, {"--reinstall"}}) {
        r = run_entry(fine.path(), args);
        EXPECT_EQ(r.out + std::to_string(r.status), (args.size() && args[0] == "--reinstall" ? resuming : "") + "0");
    }
    r = run_installer({"-r", fine.path()});
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "0");
    EXPECT_EQ(snapshot(fine.path()), before);
}
