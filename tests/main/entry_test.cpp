#include "main/entry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "console/context.h"
#include "manifest/file_helpers.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

const std::string usage = "usage: installer [-q] [-r <root>] [-]\n";
const std::string resuming = "\nResuming upgrade...\n";

int call_entry(std::vector<std::string> words) {
    words.insert(words.begin(), "installer");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return installer_main(static_cast<int>(words.size()), argv.data());
}

TEST(EntryTest, AnythingUnknownPrintsTheUsageLineAndExitsZero) {
    temp_root root;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, usage},
        {{"-r"}, usage},  // -r needs an argument after it
        {{"-q", "-r"}, usage},
        {{"--show", "--bogus"}, usage},
        {{"--SHOW"}, usage},
        {{"-rq"}, usage},
        {{""}, usage},
        {{"--safe", "-down", "-x"}, usage},
        {{"--reinstall", "--bogus"}, resuming + usage},  // printed at once, while parsing
        {{"-q", "--reinstall", "-r"}, resuming + usage},
    };
    std::vector<std::string> before = snapshot(root.path());
    for (const auto& [args, expected] : cases) {
        run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.out, expected) << "first argument [" << args[0] << "]";
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(snapshot(root.path()), before);

    run_result real = run_installer({"--bogus"});
    EXPECT_EQ(real.out, usage);
    EXPECT_EQ(real.status, 0);
    real = run_installer({"-q", "-r"});
    EXPECT_EQ(real.out, usage);
    EXPECT_EQ(real.status, 0);
}

TEST(EntryTest, CompatibilityOptionsAreAcceptedAndQuietDoesNotSilenceTheListing) {
    temp_root root;
    run_result listing = run_entry(root.path(), {"--show"});
    EXPECT_EQ(listing.status, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-b", "--force", "--noupgrade", "-i", "--show"}, {"-q", "--show"}, {"--show", "-q"}, {"--show", "-"}}) {
        run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, listing.out) << args[0];
    }
}

TEST(EntryTest, StreamInstallStopsParsing) {
    temp_root root;
    // Without its image file the stream install fails at once, which tells
    // that it ran and that "--show" after "-" was never read. Without the
    // database the installed set is empty, with a warning.
    ::rmdir(root.host("/flash/var/pdb").c_str());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"-", "--show"}, {"-", "--bogus"}}) {
        run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.out, "WARNING: could not open repo\nERROR: could not open image\n") << args[1];
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_FALSE(root.exists("/flash/postlog"));
}

TEST(EntryTest, CleanupStopsParsing) {
    temp_root root;
    root.write_file("/flash/keep", "k");
    root.write_file("/ram/MANIFEST", "U /flash/keep\n");
    std::vector<std::string> before = snapshot(root.path());
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--cleanup", "--bogus"}, {"--cleanup", "--commit"}, {"--cleanup", "--cancel"}}) {
        run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.out, "") << args[1];
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(snapshot(root.path()), before);
}

TEST(EntryTest, CommitAppliesTheSavedManifestAndKeepsIt) {
    temp_root root;
    const std::string saved =
        "U /flash/old\n"
        "U /flash/pkg\n"
        "L /flash/link /flash/target\n"
        "M /flash/pkg/file /flash/tmpAbc123\n"
        "M /flash/new /ram/tmpXyz789\n";
    root.write_file("/ram/MANIFEST", saved);
    root.write_file("/flash/old", "o");
    root.write_file("/flash/pkg/a", "a");
    root.write_file("/flash/pkg/b", "b");
    root.write_file("/flash/tmpAbc123", "package file");
    root.write_file("/ram/tmpXyz789", "new content");

    // Parsing stops at "--commit": "--bogus" is never read.
    run_result r = run_entry(root.path(), {"--commit", "--bogus"});
    EXPECT_EQ(r.out, "finishing install... \b \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(root.exists("/flash/old"));
    // The directory was emptied and removed before the move refilled it.
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"file"});
    EXPECT_EQ(root.read_file("/flash/pkg/file"), "package file");
    EXPECT_TRUE(is_link_to(root.host("/flash/link"), "/flash/target"));
    EXPECT_EQ(root.read_file("/flash/new"), "new content");
    EXPECT_FALSE(root.exists("/flash/tmpAbc123"));
    EXPECT_FALSE(root.exists("/ram/tmpXyz789"));
    EXPECT_EQ(root.read_file("/ram/MANIFEST"), saved);

    // Without a saved manifest there is nothing to do, and it says so the same way.
    temp_root empty;
    r = run_entry(empty.path(), {"--commit"});
    EXPECT_EQ(r.out, "finishing install... \b \n");
    EXPECT_EQ(r.status, 0);
}

TEST(EntryTest, CommitAcrossFileSystemsTurnsTheSpinner) {
    temp_root root;
    std::string content(40000, 'c');  // three chunks
    root.write_file("/ram/MANIFEST", "M /flash/f /ram/tmpAbc123\n");
    root.write_file("/ram/tmpAbc123", content);
    run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "256k"); },
        [&] {
            static std::uint32_t now = 5000;
            set_uptime_source_for_testing([] { return now += 100; });
            spinner() = spinner_state{};
            child_checks checks;
            CHILD_CHECK_EQ(checks, call_entry({"--commit"}), 0);
            CHILD_CHECK_EQ(checks, read_host_file("/flash/f"), content);
            return checks.status();
        });
    if (r.status == 77) GTEST_SKIP() << "mounting a tmpfs is not allowed here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "finishing install... |\b/\b-\b \n");
}

TEST(EntryTest, CommitActsInsideTheRootNamedBeforeIt) {
    temp_root root;
    for (const char* base : {"", "/other"}) {
        root.write_file(std::string(base) + "/ram/MANIFEST", base[0] ? "U /flash/b\n" : "U /flash/a\n");
        root.write_file(std::string(base) + "/flash/a", "a");
        root.write_file(std::string(base) + "/flash/b", "b");
    }
    run_result r = run_entry(root.path(), {"-r", "/other", "--commit"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(root.exists("/flash/a"));
    EXPECT_TRUE(root.exists("/flash/b"));
    EXPECT_TRUE(root.exists("/other/flash/a"));
    EXPECT_FALSE(root.exists("/other/flash/b"));
}

TEST(EntryTest, CancelDeletesTheSavedManifestAndItsStagedFilesOnly) {
    temp_root root;
    root.write_file("/ram/MANIFEST",
                    "M /flash/var/pdb/net/files /flash/var/pdb/tmpAAAAAA\n"  // staged in an ancestor
                    "M /flash/var/pdb/net/version /flash/var/pdb/net/tmpBBBBBB\n"  // in its own directory
                    "M /flash/x /ram/tmpCCCCCC\n"
                    "M /flash/y /tmp/tmpDDDDDD\n"
                    "M /flash/z /rw/pckg/.download/a.qpk\n"     // a downloaded package file
                    "M /flash/w /rw/pckg/tmpEEEEEE\n"           // not where staging puts files
                    "M /flash/v /flash/var/tmpFFFFFF\n"         // below, not above, the destination
                    "M /flash/u /flash/tmpGGGGGGG\n"            // not a name that staging makes
                    "M /flash/t /flash/tmp-_.,+=\n"             // nor this
                    "U /flash/keep\n"
                    "L /flash/link /flash/keep\n");
    const std::vector<std::string> deleted = {"/flash/var/pdb/tmpAAAAAA", "/flash/var/pdb/net/tmpBBBBBB",
                                              "/ram/tmpCCCCCC", "/tmp/tmpDDDDDD"};
    const std::vector<std::string> kept = {"/rw/pckg/.download/a.qpk", "/rw/pckg/tmpEEEEEE", "/flash/var/tmpFFFFFF",
                                           "/flash/tmpGGGGGGG", "/flash/tmp-_.,+=", "/flash/keep", "/flash/z"};
    for (const std::string& path : deleted) root.write_file(path, "staged");
    for (const std::string& path : kept) root.write_file(path, "kept");

    run_result r = run_entry(root.path(), {"--cancel", "--bogus"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    for (const std::string& path : deleted) EXPECT_FALSE(root.exists(path)) << path;
    for (const std::string& path : kept) EXPECT_EQ(root.read_file(path), "kept") << path;
    for (const char* destination : {"/flash/x", "/flash/y", "/flash/w", "/flash/link", "/flash/var/pdb/net/files"})
        EXPECT_FALSE(root.exists(destination)) << destination;

    r = run_entry(root.path(), {"--cancel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST(EntryTest, FailedRootChangeEndsTheRunHavingChangedNothing) {
    temp_root root;
    // /flash/boot missing would make an upgrade in the old root fail its
    // space check and write the post-install log: a visible change.
    ::rmdir(root.host("/flash/boot").c_str());
    std::vector<std::string> before = snapshot(root.path());
    run_result r = run_entry(root.path(), {"-r", "/missing"});
    EXPECT_EQ(r.err, "chroot: No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(root.path()), before);

    // The last "-r" wins.
    r = run_entry(root.path(), {"-r", "/", "-r", "/missing", "--show"});
    EXPECT_EQ(r.status, 1);
    r = run_entry(root.path(), {"-r", "/missing", "-r", "/", "--show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(EntryTest, ArchitectureAndQuietReachTheContext) {
    temp_root root;
    struct arch_case {
        const char* value;  // null: unset
        const char* expected;
    };
    for (const arch_case& c : {arch_case{nullptr, "i386"}, arch_case{"ppc", "ppc"}, arch_case{"", ""}}) {
        run_result r = run_in_child(root.path(), [&] {
            child_checks checks;
            if (c.value)
                ::setenv("arch", c.value, 1);
            else
                ::unsetenv("arch");
            CHILD_CHECK_EQ(checks, call_entry({"-q", "--show"}), 0);
            CHILD_CHECK_EQ(checks, context().architecture, c.expected);
            CHILD_CHECK(checks, context().quiet);
            return checks.status();
        });
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST(EntryTest, UpgradeThatStagesNothingChangesNothing) {
    temp_root root;
    std::vector<std::string> before = snapshot(root.path());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{}, {"--safe"}, {"-down"}}) {
        run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(snapshot(root.path()), before) << "no marker, no saved manifest, no post-install log";
    }
    run_result r = run_entry(root.path(), {"--reinstall"});
    EXPECT_EQ(r.out, resuming);
    EXPECT_EQ(r.status, 0);

    run_result real = run_installer({"-r", root.path()});
    EXPECT_EQ(real.out, "");
    EXPECT_EQ(real.err, "");
    EXPECT_EQ(real.status, 0);
    EXPECT_EQ(snapshot(root.path()), before);
}

TEST(EntryTest, UpgradeWithoutRoomOnFlashEndsWith28) {
    temp_root root;
    // An unmounted /flash/boot counts as a file system without free blocks.
    ::rmdir(root.host("/flash/boot").c_str());
    run_result r = run_entry(root.path(), {"-down"});
    EXPECT_EQ(r.out, "ERROR: not enough space for upgrade\n");
    EXPECT_EQ(r.status, 28);
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
    // The log was never prepared: the message is appended.
    EXPECT_EQ(root.read_file("/flash/postlog"), "ERROR: not enough space for upgrade\n");

    // Quiet: nothing printed or logged, the status is the same.
    temp_root quiet_root;
    ::rmdir(quiet_root.host("/flash/boot").c_str());
    r = run_entry(quiet_root.path(), {"-q"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 28);
    EXPECT_FALSE(quiet_root.exists("/flash/postlog"));

    // "--reinstall" skips the check.
    r = run_entry(quiet_root.path(), {"--reinstall"});
    EXPECT_EQ(r.out, resuming);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(quiet_root.exists("/flash/postlog"));

    run_result real = run_installer({"-r", root.path()});
    EXPECT_EQ(real.out, "ERROR: not enough space for upgrade\n");
    EXPECT_EQ(real.status, 28);
}

}  // namespace
