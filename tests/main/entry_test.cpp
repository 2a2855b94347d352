#include "main/entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <set>
#include <sstream>

#include "console/context.h"
#include "platform/run_lock.h"
#include "support/host_files.h"
#include "support/limited_run.h"
#include "support/router_scenario.h"

namespace {

const std::string usage = "usage: installer [-q] [-r <root>] [-]\n", resuming = "\nResuming upgrade...\n",
    missing = "chroot: No such file or directory\n",
    pending = "ERROR: changes saved by an earlier run wait for --commit or --cancel\n";
const std::string table = "            Name          Version                Built                                    "
    "Note\n" + std::string(94, '-') + "\n";

}  // namespace

// The first unknown option prints the usage line and ends the run with 0; "-r" needs an argument, and the last wins;
// "--reinstall" prints at once; "-", "--cleanup", "--commit" and "--cancel" end the parsing, but a "-r" after them is
// still honoured; the compatibility options change nothing; "-q" does not silence the table; "arch" chooses the
// architecture. The saved manifest waiting in the root refuses every run that may change anything; none of these runs
// changes anything in the root.
TEST(EntryTest, Options) {
    temp_root root;
    root.write_file("/ram/MANIFEST", "U /flash/keep\n");
    root.write_file("/flash/keep", "k");
    const std::vector<std::string> before = snapshot(root.path());
    const std::tuple<std::vector<std::string>, std::string, int> cases[] = {
        {{"--bogus"}, usage, 0}, {{"-q", "-r"}, usage, 0}, {{"--show", "--SHOW"}, usage, 0}, {{"-rq"}, usage, 0},
            {{""}, usage, 0},
        {{"--safe", "-down", "-x"}, usage, 0}, {{"-q", "--reinstall", "-r"}, resuming + usage, 0}, {{"-b", "--force",
            "--noupgrade", "-i", "--show", "-q"}, table, 0},
        {{"--cleanup", "--bogus"}, pending, 1}, {{"--cleanup", "--commit"}, pending, 1},
            {{"--cleanup", "--cancel"}, pending, 1}, {{"--show", "-"}, table, 0}, {{"-", "--show"}, pending, 1},
        {{"-r", "/", "-r", "/missing", "--show"}, missing, 1}, {{"-r", "/missing", "-r", "/", "--show"}, table, 0},
        {{"--cleanup", "-r", "/missing"}, missing, 1}, {{"-", "-r", "/missing"}, missing, 1},
            {{"--commit", "-r", "/missing"}, missing, 1}, {{"--cancel", "-q", "-r", "/missing"}, missing, 1}};
    for (const auto& [args, out, status] : cases) {
        const run_result r = run_entry(root.path(), args);
        EXPECT_EQ(r.out + r.err + std::to_string(r.status), out + std::to_string(status)) << args[0] << args.back();
        EXPECT_EQ(snapshot(root.path()), before) << args[0];
    }
    for (const char* arch : {"", "ppc", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(run_in_child(root.path(), [&] {
                      arch ? ::setenv("arch", arch, 1) : ::unsetenv("arch");
                      return call_installer_main({"-q", "--show"}) == 0 && context().quiet
                          && context().architecture == (arch ? arch : "i386") ? 0 : 1;
                  }).status, 0) << arch;
    }
    const run_result real = run_installer({"--bogus"});
    EXPECT_EQ(real.out + std::to_string(real.status), usage + "0");
}

// "--cancel" deletes the saved manifest with the files it staged, and only those: "tmp" and six letters or digits in
// /ram, /tmp, or the destination's directory or an ancestor; the options after it change nothing.
TEST(EntryTest, CancelDeletesTheSavedManifestAndItsStagedFilesOnly) {
    temp_root root;
    const std::vector<std::pair<std::string, std::string>> staged = {
        {"/flash/var/pdb/net/files", "/flash/var/pdb/tmpAAAAAA"},
        {"/flash/var/pdb/net/version", "/flash/var/pdb/net/tmpBBBBBB"},
        {"/flash/x", "/ram/tmpCCCCCC"},
        {"/flash/y", "/tmp/tmpDDDDDD"},
    };
    const std::vector<std::pair<std::string, std::string>> kept = {
        {"/flash/z", "/rw/pckg/.download/a.qpk"}, {"/flash/w", "/rw/pckg/tmpEEEEEE"},
        {"/flash/v", "/flash/var/tmpFFFFFF"},     {"/flash/u", "/flash/tmpGGGGGGG"},
        {"/flash/t", "/flash/tmp-_.,+="},
    };
    std::string manifest = "U /flash/keep\n";
    for (const auto& [destination, source] : staged) manifest += "M " + destination + " " + source + "\n";
    for (const auto& [destination, source] : kept) manifest += "M " + destination + " " + source + "\n";
    root.write_file("/ram/MANIFEST", manifest);
    root.write_file("/flash/keep", "kept");
    for (const auto& [destination, source] : staged) root.write_file(source, "staged");
    for (const auto& [destination, source] : kept) root.write_file(source, "kept");
    const run_result r = run_entry(root.path(), {"--cancel", "--bogus"});
    EXPECT_EQ(r.out + r.err + std::to_string(r.status) + std::to_string(root.exists("/ram/MANIFEST")), "00");
    for (const auto& [destination, source] : staged) EXPECT_FALSE(root.exists(source)) << source;
    for (const auto& [destination, source] : kept) EXPECT_EQ(root.read_file(source), "kept") << source;
    EXPECT_EQ(root.read_file("/flash/keep"), "kept");
    EXPECT_EQ(run_entry(root.path(), {"--cancel"}).status, 0);
}

// "--show" lists every record of the root (the order is the load order, which the repository tests show), byte for
// byte: flags, version texts, build times (also past 2038), notes.
TEST(EntryTest, ShowListsTheDatabase) {
    temp_root root;
    scenario::lay_out(root, {"system-6.40.1 @1500000000 %i note=base", "wireless-6.41rc2 @4294967295 % off",
                             "velnor-6.40 @1600000000 note=all {dhcp-6.40 @1600000001 note=dhcp} {ppp-6.40 off user}",
                             "longername12345x-7.1beta3 @86400 % note=" + std::string(45, 'n'), "oldpkg-6.41 /bin/x"});
    std::istringstream out(run_installer({"-r", root.path(), "--show"}).out);
    std::multiset<std::string> lines;
    for (std::string line; std::getline(out, line);) lines.insert(line);
    const std::multiset<std::string> table = {
        "            Name          Version                Built                                    Note",
        std::string(94, '-'),
        "          system           6.40.1 Jul/14/2017 02:40:00                                     base",
        "        wireless X        6.41rc2 Feb/07/2106 06:28:15                                         ",
        "            dhcp  B          6.40 Sep/13/2020 12:26:41                                     dhcp",
        "             ppp XB          6.40 Jan/01/1970 00:00:00                                         ",
        "          velnor             6.40 Sep/13/2020 12:26:40                                      all",
        "longername12345x         7.1beta3 Jan/02/1970 00:00:00 " + std::string(45, 'n'),
        "          oldpkg             6.41 Jan/01/1970 00:00:00                                         ",
    };
    EXPECT_EQ(lines, table);
}

// While another run holds the lock, every run that may change anything gives up, changes nothing and ends with 16; the
// listing still works. A run that finds the lock held waits: when the holder ends within the wait, the run goes on.
TEST(EntryTest, OneRunAtATime) {
    temp_root root;
    root.write_file("/ram/MANIFEST", "U /flash/keep\n");
    root.write_file("/flash/keep", "k");
    root.write_file("/ram/x", "");
    const int fd = ::open(root.host("/ram/installer.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const std::vector<std::string> before = snapshot(root.path());
    const std::string busy = "ERROR: another installer run is in progress\n";
    const std::tuple<std::vector<std::string>, std::string, int> cases[] = {
        {{"--commit"}, busy, 16}, {{"--cancel"}, busy, 16}, {{"--cleanup"}, busy, 16}, {{"-"}, busy, 16},
        {{"--safe"}, busy, 16}, {{"-q", "--reinstall"}, resuming, 16}, {{"--show", "-q"}, table, 0}};
    for (const auto& [args, out, status] : cases) {
        const run_result r = run_in_child(root.path(), [&] {
            run_lock_wait_milliseconds = 300;
            return call_installer_main(args);
        });
        EXPECT_EQ(r.out + std::to_string(r.status), out + std::to_string(status)) << args[0];
        EXPECT_EQ(snapshot(root.path()), before) << args[0];
    }
    // Held by a process that lets go after a moment.
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::usleep(300000);
        ::_exit(0);
    }
    ::close(fd);
    const run_result r = run_entry(root.path(), {"--cancel"});
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.out + std::to_string(r.status), "0");
    EXPECT_FALSE(root.exists("/ram/MANIFEST") || root.exists("/ram/installer.lock"));
    // A lock file that is a link is never followed, nor its target locked in its place.
    ::symlink("/ram/x", root.host("/ram/installer.lock").c_str());
    const run_result linked = run_entry(root.path(), {"--cleanup"});
    EXPECT_EQ(linked.out + std::to_string(linked.status), "ERROR: could not lock /ram/installer.lock\n16");
}
