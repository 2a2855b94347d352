#include "main/entry.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <sstream>

#include "console/context.h"
#include "platform/run_lock.h"
#include "support/host_files.h"
#include "support/limited_run.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

namespace {

const std::string usage = "usage: installer [-q] [-r <root>] [-]\n", resuming = "\nResuming upgrade...\n",
    missing = "chroot: No such file or directory\n",
    pending = "ERROR: changes saved by an earlier run wait for --commit or --cancel\n";
const std::string table = "            Name          Version                Built                                    "
    "Note\n" + std::string(94, '-') + "\n";

uid_t user = 0;
int give_to_user(const char* path, const struct stat*, int, FTW*) { return ::lchown(path, user, user); }

// Makes unshare fail with EPERM in this process and its children, as a kernel or container that forbids user
// namespaces does.
bool forbid_unshare() {
    sock_filter code[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unshare, 0, 1),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program = {4, code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A row of a table of runs: the arguments after "-r ROOT", what the run prints (standard output and error) and its
// exit status.
struct entry_row {
    std::vector<std::string> args;
    std::string out;
    int status = 0;
    std::string what = "", test_name = "";
};
void PrintTo(const entry_row& r, std::ostream* out) { *out << r.what; }

// The rows named after their arguments.
std::vector<entry_row> entry_rows(std::vector<entry_row> rows) {
    for (entry_row& r : rows)
        for (const std::string& arg : r.args) r.what += (r.what.empty() ? "" : " ") + arg;
    return scenario::named(std::move(rows));
}

// On a root made by lay_out, the run of the row prints what the row says, ends with its status and changes nothing in
// the root.
void check_entry_row(const entry_row& row, void (*lay_out)(const temp_root&)) {
    temp_root root;
    lay_out(root);
    const std::vector<std::string> before = snapshot(root.path());
    const run_result r = run_entry(root.path(), row.args);
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), row.out + std::to_string(row.status));
    EXPECT_EQ(snapshot(root.path()), before);
}

}  // namespace

// Each row of ROWS its own test, Rows/SUITE.Run/<its arguments>, on a root that LAY_OUT makes.
#define ENTRY_TABLE(SUITE, ROWS, LAY_OUT)                                                     \
    using SUITE = testing::TestWithParam<entry_row>;                                          \
    INSTANTIATE_TEST_SUITE_P(Rows, SUITE, testing::ValuesIn(ROWS), scenario::test_name());    \
    TEST_P(SUITE, Run) { check_entry_row(GetParam(), LAY_OUT); }

// The first unknown option prints the usage line and ends the run with 0; "-r" needs an argument, and the last wins;
// "--reinstall" prints at once; "-", "--cleanup", "--commit" and "--cancel" end the parsing, but a "-r" after them is
// still honoured; the compatibility options change nothing; "-q" does not silence the table; "arch" chooses the
// architecture. The saved manifest waiting in the root refuses every run that may change anything; none of these runs
// changes anything in the root.
std::vector<entry_row> option_rows() {
    return entry_rows({
        {.args = {"--bogus"}, .out = usage}, {.args = {"-q", "-r"}, .out = usage},
        {.args = {"--show", "--SHOW"}, .out = usage}, {.args = {"-rq"}, .out = usage}, {.args = {""}, .out = usage},
        {.args = {"-q", "--version", "--bogus"}, .out = "installer " INSTALLER_VERSION "\n"},
        {.args = {"--safe", "-down", "-x"}, .out = usage},
        {.args = {"-q", "--reinstall", "-r"}, .out = resuming + usage},
        {.args = {"-b", "--force", "--noupgrade", "-i", "--show", "-q"}, .out = table},
        {.args = {"--cleanup", "--bogus"}, .out = pending, .status = 1},
        {.args = {"--cleanup", "--commit"}, .out = pending, .status = 1},
        {.args = {"--cleanup", "--cancel"}, .out = pending, .status = 1}, {.args = {"--show", "-"}, .out = table},
        {.args = {"-", "--show"}, .out = pending, .status = 1},
        {.args = {"-r", "/", "-r", "/missing", "--show"}, .out = missing, .status = 1},
        {.args = {"-r", "/missing", "-r", "/", "--show"}, .out = table},
        {.args = {"--cleanup", "-r", "/missing"}, .out = missing, .status = 1},
        {.args = {"-", "-r", "/missing"}, .out = missing, .status = 1},
        {.args = {"--commit", "-r", "/missing"}, .out = missing, .status = 1},
        {.args = {"--cancel", "-q", "-r", "/missing"}, .out = missing, .status = 1},
        {.args = {"--commit", "--simulate"}, .out = usage}, {.args = {"--simulate", "--cleanup"}, .out = usage},
        {.args = {"--show", "--simulate"}, .out = usage}, {.args = {"-", "--simulate"}, .out = pending, .status = 1},
    });
}
ENTRY_TABLE(EntryOptions, option_rows(), [](const temp_root& root) {
    root.write_file("/ram/MANIFEST", "U /flash/keep\n");
    root.write_file("/flash/keep", "k");
});

TEST(EntryTest, ArchitectureAndTheProgramItself) {
    temp_root root;
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

// "--files", "--owner", "--audit" and "--json" answer from the loaded records, with "-r" and "-q", and write nothing
// (not even what completes a stopped run); paths are the router's own (below /flash); the text form hides control
// bytes, the JSON form carries every byte that is UTF-8.
void lay_out_queries(const temp_root& root) {
    scenario::lay_out(root, {"a-6.40.1 @1500000000 /bin/x /bin/shared", "b-6.41rc2 @4294967295 off user do=uninstall "
                             "/bin/y", "velnor-6.40 {c-6.40 note=q}"});
    root.write_file("/flash/var/pdb/odd/version", "1 2\n");
    root.write_file("/flash/var/pdb/odd/files", "bin/\x1b[0m\xff\"\\\n/etc/a\tb\n");
    root.write_file("/flash/var/pdb/d/version", "1 2\n");
    root.write_file("/flash/var/pdb/d/files", "bin/ok\nbin/suid\nbin/dir\nbin/gone\n../x\n");
    for (const char* file : {"/bin/ok", "/bin/suid", "/x"}) root.write_file(std::string("/flash") + file, "");
    root.make_dir("/flash/bin/dir");
    ::chmod(root.host("/flash/bin/suid").c_str(), 04755);
    // What a stopped run left is for the next run that may change anything.
    root.write_file("/flash/var/pdb/.staged", "/flash/var/pdb/tmpAAAAAA\n");
    root.write_file("/flash/var/pdb/tmpAAAAAA", "");
}

const std::string audit_d = "d: not below /flash /flash/../x\nd: not a regular file /flash/bin/dir\nd: missing "
    "/flash/bin/gone\nd: changed mode 4755 /flash/bin/suid\n";
const std::string json_a = "{\"name\":\"a\",\"version\":\"6.40.1\",\"version_number\":103310849,\"build_time\":"
    "\"2017-07-14T02:40:00Z\",\"build_time_number\":1500000000,\"disabled\":false,\"user_set\":false,\"bundle\":null,"
    "\"image\":false,\"scheduled\":null,\"note\":\"\"";
const std::string json_b = "{\"name\":\"b\",\"version\":\"6.41rc2\",\"version_number\":"
    "103375618,\"build_time\":\"2106-02-07T06:28:15Z\",\"build_time_number\":4294967295,\"disabled\":true,\"user_set\":"
    "true,\"bundle\":null,\"image\":false,\"scheduled\":\"uninstall\",\"note\":\"\"}";

std::vector<entry_row> query_rows() {
    return entry_rows({
        {.args = {"--files", "a"}, .out = "/flash/bin/shared\n/flash/bin/x\n"},
        {.args = {"-q", "--files", "odd"}, .out = "/flash/bin/?[0m\xff\"\\\n/flash/etc/a?b\n"},
        {.args = {"--files", "velnor"}, .out = ""},
        {.args = {"--files", "nosuch"}, .out = "ERROR: package nosuch is not installed\n", .status = 1},
        {.args = {"-q", "--files", "nosuch"}, .out = "", .status = 1},
        {.args = {"--files"}, .out = usage},
        {.args = {"--owner", "/flash/bin/x"}, .out = "a\n"},
        {.args = {"--owner", "/flash/bin/y", "-q"}, .out = "b\n"},
        {.args = {"--owner", "/bin/x"}, .out = "ERROR: no package lists /bin/x\n", .status = 1},
        {.args = {"--owner", "/flashbin/x"}, .out = "ERROR: no package lists /flashbin/x\n", .status = 1},
        {.args = {"-q", "--owner", "/flash"}, .out = "", .status = 1},
        {.args = {"--json"}, .out = usage},
        {.args = {"--json", "-"}, .out = usage},
        {.args = {"--json", "--files", "a"}, .out = json_a + ",\"files\":[\"/flash/bin/shared\",\"/flash/bin/x\"]}\n"},
        {.args = {"--files", "odd", "--json"},
         .out = "{\"name\":\"odd\",\"version\":\"0.01\",\"version_number\":1,\"build_time\":"
            "\"1970-01-01T00:00:02Z\",\"build_time_number\":2,\"disabled\":false,\"user_set\":false,\"bundle\":null,"
            "\"image\":false,\"scheduled\":null,\"note\":\"\",\"files\":[\"/flash/bin/\\u001b[0m\xEF\xBF\xBD\\\"\\\\\","
            "\"/flash/etc/a\\tb\"]}\n"},
        {.args = {"--json", "--owner", "/flash/bin/y"},
         .out = "{\"path\":\"/flash/bin/y\",\"packages\":[" + json_b + "]}\n"},
        {.args = {"--json", "-q", "--owner", "/x"}, .out = "{\"path\":\"/x\",\"packages\":[]}\n", .status = 1},
        {.args = {"--audit", "a"}, .out = ""},
        {.args = {"--audit", "d", "-q"}, .out = audit_d, .status = 1},
        {.args = {"-q", "--audit", "nosuch"}, .out = "", .status = 1},
        {.args = {"--files", "a", "-"}, .out = "/flash/bin/shared\n/flash/bin/x\n"},
        {.args = {"--audit", "b", "--json"}, .out = "{\"findings\":[]}\n"},
        {.args = {"--json", "--audit", "d"},
         .out = "{\"findings\":[{\"package\":\"d\",\"path\":\"/flash/../x\",\"finding\":\"not below /flash\"},"
            "{\"package\":\"d\",\"path\":\"/flash/bin/dir\",\"finding\":\"not a regular file\"},{\"package\":\"d\",\"path\":"
            "\"/flash/bin/gone\",\"finding\":\"missing\"},{\"package\":\"d\",\"path\":\"/flash/bin/suid\",\"finding\":"
            "\"changed mode\",\"mode\":\"4755\"}]}\n",
         .status = 1},
    });
}
ENTRY_TABLE(EntryQueries, query_rows(), lay_out_queries);

TEST(EntryTest, QueriesOfEveryRecord) {
    temp_root root;
    lay_out_queries(root);
    const auto lines = [](const std::string& text) {
        std::istringstream in(text);
        std::multiset<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.insert(line);
        return lines;
    };
    const run_result all = run_entry(root.path(), {"--audit", "-q"});
    EXPECT_EQ(lines(all.out + std::to_string(all.status)),
              lines(audit_d + "odd: missing /flash/bin/?[0m\xff\"\\\nodd: missing /flash/etc/a?b\n1"));
    const std::string show = run_installer({"-r", root.path(), "--show", "--json", "-q"}).out;
    EXPECT_EQ(show.substr(0, 13) + show.substr(show.size() - 3), "{\"packages\":[]}\n") << show;
    for (const std::string& part : std::vector<std::string>{json_a + "}", json_b, ",\"bundle\":\"velnor\",\"image\":false,\"scheduled\":null,\"note\":\"q\"}",
                                    "{\"name\":\"velnor\""})
        EXPECT_NE(show.find(part), std::string::npos) << part;
}

// "-r" as an ordinary user on a root that user owns (an image build): the run goes on in a user namespace of its own,
// as root there, and what it installs belongs to that user. Where the namespace is refused it fails as a refused chroot.
TEST(EntryTest, ImageRootOfAnOrdinaryUser) {
    temp_root root;
    user = ::getuid() == 0 ? 65534 : ::getuid();
    ASSERT_EQ(::nftw(root.path().c_str(), give_to_user, 16, FTW_PHYS), 0);
    const auto as_user = [&](const std::vector<std::string>& args, const std::string& input, bool forbid) {
        return run_in_child("", [&] {
            if (forbid && !forbid_unshare()) return 77;
            // Dumpable again after giving up root, as a program started by that user is.
            if (::getuid() == 0 && (::setgroups(0, nullptr) || ::setgid(user) || ::setuid(user) ||
                                    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0)))
                return 78;
            return args.empty() ? (::unshare(CLONE_NEWUSER) == 0 ? 0 : 77) : call_installer_main(args);
        }, input);
    };
    const run_result refused = as_user({"-r", root.path(), "--show"}, "", true);
    if (refused.status == 77) {
        std::printf("not shown: the refused namespace (no seccomp filter here)\n");
    } else {
        EXPECT_EQ(refused.out + refused.err + std::to_string(refused.status), "chroot: Operation not permitted\n1");
    }
    if (as_user({}, "", false).status != 0) {
        std::printf("skipped: the kernel refuses user namespaces to an ordinary user here\n");
        GTEST_SKIP();
    }
    const run_result installed = as_user({"-r", root.path(), "-"}, line::file("hello-6.48.1 /bin/hello"), false);
    EXPECT_EQ(scenario::screen(installed.out) + installed.err + std::to_string(installed.status),
              "> installing hello-6.48.1\ninstalled hello-6.48.1\n0");
    EXPECT_EQ(scenario::records(root) + " | " + scenario::files(root), "hello-6.48.1 | bin/hello=hello-6.48.1");
    struct stat info {};
    EXPECT_EQ(::lstat(root.host("/flash/bin/hello").c_str(), &info) == 0 ? info.st_uid : 0, user);
    const run_result files = as_user({"-q", "--files", "hello", "-r", root.path()}, "", false);
    EXPECT_EQ(files.out + files.err + std::to_string(files.status), "/flash/bin/hello\n0");
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
        {{"--safe"}, busy, 16}, {{"-q", "--reinstall"}, resuming, 16}, {{"--show", "-q"}, table, 0},
        {{"--simulate", "-"}, busy, 16}};
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

// "--help" and the manual page name every option (and "--help" starts with the usage line); every manual page in man/
// renders without a warning.
TEST(EntryTest, HelpAndManualPages) {
    const std::string help = run_installer({"-q", "--help"}).out;
    const std::string page = read_host_file(SOURCE_DIR "/man/installer.8");
    EXPECT_EQ(help.rfind(usage, 0), 0u);
    for (const std::string option : {"-r", "-", "-q", "-down", "--reinstall", "--safe", "--commit", "--cancel", "--show",
                                     "--files", "--owner", "--audit", "--simulate", "--json", "--cleanup", "--help", "--version"}) {
        EXPECT_NE(help.find("\n  " + option + " "), std::string::npos) << option;
        std::string escaped;
        for (const char c : option) escaped += c == '-' ? "\\-" : std::string(1, c);
        bool in_page = false;
        for (const char* macro : {".B ", ".BI ", ".BR "}) in_page |= page.find(macro + escaped) != std::string::npos;
        EXPECT_TRUE(in_page) << option;
    }
    for (const auto& entry : std::filesystem::directory_iterator(SOURCE_DIR "/man")) {
        const std::string path = entry.path().string();
        const run_result r = run_in_child("", [&] {
            ::execlp("groff", "groff", "-man", "-Tutf8", "-ww", "-z", path.c_str(), static_cast<char*>(nullptr));
            return std::fputs("groff is not installed\n", stderr), 127;
        });
        if (r.status == 127) GTEST_SKIP() << r.err;
        EXPECT_EQ(r.err + std::to_string(r.status), "0") << path;
    }
}
