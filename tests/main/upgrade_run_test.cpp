// The upgrade run through the real program ("installer -r ROOT"): package
// files waiting in the download directories, what the console shows, the
// exit status, the records the next run loads and the files left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "main/entry.h"
#include "resolve/version.h"
#include "support/router_scenario.h"

namespace {

using scenario::bundle;
using scenario::pkg;
using scenario::step;

const std::string download = "/rw/pckg/.download/";

step install(const std::string& file) { return {{"-"}, file}; }
// An upgrade run with the files placed first; args after "-r ROOT".
step upgrade(std::vector<std::pair<std::string, std::string>> files, std::vector<std::string> args = {},
             std::vector<std::string> env = {}) {
    return {args, "", files, env};
}

struct row {
    const char* what;
    std::vector<step> steps;
    std::string screen;
    std::string records, files;
    const char* postlog = nullptr;  // checked when given
};

TEST(UpgradeRunTest, Scenarios) {
    const std::string hello48 = pkg("hello-6.48 /bin/hello /etc/old"), hello49 = pkg("hello-6.49 /bin/hello");
    const row rows[] = {
        {"a fresh install, in dependency order",
         {upgrade({{download + "hello.qpk", pkg("hello-6.48 >kernel /bin/hello")},
                   {download + "system.qpk", pkg("system-6.48 +kernel %s /bin/sh")}})},
         "installed system-6.48\ninstalled hello-6.48\n",
         "hello-6.48 system-6.48",
         "PCKGS_CHANGED= bin/hello=hello-6.48 bin/sh=system-6.48 pdb/system/image rw/pckg/.download/hello.qpk",
         "installed system-6.48\ninstalled hello-6.48\n"},
        {"an upgrade replaces the files",
         {upgrade({{download + "hello.qpk", hello48}}), upgrade({{download + "hello.qpk", hello49}})},
         "installed hello-6.49\n",
         "hello-6.49",
         "PCKGS_CHANGED= bin/hello=hello-6.49 rw/pckg/.download/hello.qpk"},
        {"a downgrade refused cancels the run",
         {install(hello49), upgrade({{download + "hello.qpk", hello48}, {download + "ntp.qpk", pkg("ntp-6.48 /bin/ntp")}})},
         "WARNING: omitting package hello-6.48: newer package hello-6.49 is already installed\n",
         "hello-6.49",
         "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {"a downgrade allowed",
         {install(hello49), upgrade({{download + "hello.qpk", hello48}}, {"-down"})},
         "installed hello-6.48\n",
         "hello-6.48",
         "PCKGS_CHANGED= bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk"},
        {"a downgrade marker without a number allows any",
         {install(hello49), upgrade({{download + "hello.qpk", hello48}, {"/ram/DOWNGRADE", "any"}})},
         "installed hello-6.48\n",
         "hello-6.48",
         "PCKGS_CHANGED= bin/hello=hello-6.48 etc/old=hello-6.48 ram/DOWNGRADE=any rw/pckg/.download/hello.qpk"},
        {"a downgrade below the marker's minimum",
         {install(hello49), upgrade({{download + "hello.qpk", hello48},
                                     {"/ram/DOWNGRADE", std::to_string(make_version(6, 48, 'f', 1))}})},
         "WARNING: ommitting package hello-6.48: not allowed\n",
         "hello-6.49",
         "bin/hello=hello-6.49 ram/DOWNGRADE=103835137 rw/pckg/.download/hello.qpk"},
        {"the first download directory that offers anything",
         {upgrade({{download + "hello.qpk", hello48}, {"/flash/rw/pckg/ntp.qpk", pkg("ntp-6.48")}})},
         "installed hello-6.48\n",
         "hello-6.48",
         "PCKGS_CHANGED= bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk rw/pckg/ntp.qpk"},
        {"the download directory ignored",
         {upgrade({{download + "hello.qpk", hello48}, {download + "IGNORE", ""}, {"/flash/var/pckg/ntp.qpk", pkg("ntp-6.48")}})},
         "installed ntp-6.48\n",
         "ntp-6.48",
         "PCKGS_CHANGED= rw/pckg/.download/IGNORE= rw/pckg/.download/hello.qpk var/pckg/ntp.qpk"},
        {"the second candidate fails: nothing is applied",
         {upgrade({{download + "hello.qpk", hello48}, {download + "ntp.qpk", pkg("ntp-6.48 >hello @mips /bin/ntp")}})},
         "installed hello-6.48\nERROR: can not install ntp-6.48: it is not made for i386, but for mips\n",
         "",
         "rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {"a bundle keeps its file as its image",
         {upgrade({{download + "velnor.vpk", bundle("velnor-6.48 %v", {"dhcp-6.48 /bin/dhcp"})}})},
         "installed velnor-6.48\n",
         "dhcp-6.48 ^velnor velnor-6.48",
         "PCKGS_CHANGED= bin/dhcp=dhcp-6.48 pdb/velnor/image"},
        {"the boot package becomes the boot image",
         {upgrade({{download + "system.qpk", pkg("system-6.48 #1 %k /bin/sh")}}, {}, {"bootimage=1"})},
         "installed system-6.48\n",
         "system-6.48",
         "PCKGS_CHANGED= UPGRADED= bootimage pdb/system/image->/flash/bootimage"},
        {"the state the user chose survives an upgrade",
         {install(pkg("ntp-6.48")), install(pkg("hello-6.48")), upgrade({{"/ram/pdb/hello/schedule", "disable"}}),
          upgrade({{"/ram/pdb/hello/schedule", ""}, {download + "hello.qpk", hello49}})},
         "installed (disabled) hello-6.49\n",
         "hello-6.49 off user ntp-6.48",
         "PCKGS_CHANGED= ram/pdb/hello/schedule= rw/pckg/.download/hello.qpk x/hello/bin/hello=hello-6.49"},
        {"a package the installation left disabled is enabled again",
         {install(pkg("g-6.48 +greeting")), install(pkg("x-6.48 !hello:6.49")), install(pkg("hello-6.48")),
          upgrade({{download + "hello.qpk", pkg("hello-6.49 +greeting")}, {download + "x.qpk", pkg("x-6.49 >greeting")}})},
         "installed (disabled) hello-6.49\ninstalled x-6.49\nenabled hello-6.49\n",
         "g-6.48 hello-6.49 x-6.49",
         "PCKGS_CHANGED= rw/pckg/.download/hello.qpk rw/pckg/.download/x.qpk"},
        {"but not one that conflicts with what the planner had to enable",
         {install(pkg("c-6.48 !s:6.49")), install(pkg("s-6.48")), install(pkg("r-6.48 >s")),
          upgrade({{download + "s.qpk", pkg("s-6.49")}})},
         "installed (disabled) s-6.49\n",
         "c-6.48 off r-6.48 s-6.49",
         "PCKGS_CHANGED= rw/pckg/.download/s.qpk"},
        {"staged for a later commit",
         {upgrade({{download + "hello.qpk", hello49}}, {"--safe"})},
         "installed hello-6.49\n",
         "",
         "pdb/tmp* pdb/tmp* pdb/tmp*= ram/MANIFEST rw/pckg/.download/hello.qpk tmp*= tmp*=hello-6.49"},
        {"and committed",
         {upgrade({{download + "hello.qpk", hello49}}, {"--safe"}), {{"--commit"}}},
         "finishing install...\n",
         "hello-6.49",
         "PCKGS_CHANGED= bin/hello=hello-6.49 ram/MANIFEST rw/pckg/.download/hello.qpk"},
        {"the log of the last run carried over",
         {upgrade({{download + "hello.qpk", hello49}, {"/flash/postlog", "ERROR: earlier\nWARNING: cut"}})},
         "installed hello-6.49\n",
         "hello-6.49",
         "PCKGS_CHANGED= bin/hello=hello-6.49 rw/pckg/.download/hello.qpk",
         "ERROR: earlier\ninstalled hello-6.49\n"},
        {"no package at all",
         {upgrade({})},
         "ERROR: router installation failed!!!\n",
         "",
         "",
         "ERROR: router installation failed!!!\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_root root;
        const run_result result = scenario::run(root, r.steps);
        EXPECT_EQ(scenario::screen(result.out), r.screen);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(scenario::records(root), r.records);
        EXPECT_EQ(scenario::files(root), r.files);
        if (r.postlog) {
            EXPECT_EQ(root.read_file("/flash/postlog"), r.postlog);
        }
    }
}

// Without room on flash for what the run staged, nothing is applied and the
// run ends with 28.
TEST(UpgradeRunTest, NotEnoughSpace) {
    temp_root root;
    root.write_file(download + "hello.qpk", pkg("hello-6.48 /bin/hello"));
    const run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "256k"); },
        [] {
            ::mkdir("/flash/boot", 0755);
            ::mkdir("/flash/var", 0755);
            ::mkdir("/flash/var/pdb", 0755);
            // Fills the file system up to 15 free blocks of 4 KiB.
            std::ofstream("/flash/fill") << std::string(49 * 4096, 'x');
            char name[] = "installer";
            char* argv[] = {name, nullptr};
            return installer_main(1, argv);
        });
    if (r.status == 77) GTEST_SKIP() << r.err;
    EXPECT_EQ(scenario::screen(r.out), "installed hello-6.48\nERROR: not enough space for upgrade\n");
    EXPECT_EQ(r.status, 28);
    EXPECT_EQ(scenario::files(root), "rw/pckg/.download/hello.qpk");
}

}  // namespace
