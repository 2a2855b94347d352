// The upgrade run through the real program ("installer -r ROOT"): package files waiting in the download directories,
// what the console shows, the exit status, the records the next run loads and the files left.
#include <gtest/gtest.h>
#include <unistd.h>

#include "resolve/version.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

using namespace std::string_literals;

namespace {

using scenario::step;

const std::string download = "/rw/pckg/.download/";

// An upgrade run with the files placed first; args after "-r ROOT".
step upgrade(std::vector<std::pair<std::string, std::string>> files, std::vector<std::string> args = {},
             std::vector<std::string> env = {}) {
    return {args, "", files, env};
}

// A download file of the package of a line, named after it.
std::pair<std::string, std::string> dl(const std::string& text) {
    return {download + text.substr(0, text.find('-')) + ".qpk", line::file(text)};
}

std::string installed(const std::string& package) {
    return "> installing " + package + "\ninstalled " + package + "\n";
}
std::string disabled(const std::string& package) {
    return "> installing  (disabled) " + package + "\ninstalled (disabled) " + package + "\n";
}

TEST(UpgradeRunTest, Scenarios) {
    const auto hello48 = dl("hello-6.48 /bin/hello /etc/old"), hello49 = dl("hello-6.49 /bin/hello");
    const std::string older = "hello-6.49 /bin/hello";
    const std::string marker = "PCKGS_CHANGED=:600 ";
    const std::string refused = "WARNING: ommitting package hello-6.48: not allowed\n";
    const std::string hello_qpk = "rw/pckg/.download/hello.qpk";
    const std::string safe = "pdb/.staged:600 pdb/tmp*:600 pdb/tmp*:600 pdb/tmp*=:600 ram/MANIFEST " + hello_qpk +
                             " tmp*=:600 tmp*=hello-6.49";
    const std::string pending = "ERROR: changes saved by an earlier run wait for --commit or --cancel\n";
    std::vector<scenario::row> rows = {
        {"a fresh install, in dependency order", {},
         {upgrade({dl("hello-6.48 >kernel /bin/hello"), dl("system-6.48 +kernel %s /bin/sh")})},
         installed("system-6.48") + installed("hello-6.48"), 0, "hello-6.48 system-6.48",
         marker + "bin/hello=hello-6.48 bin/sh=system-6.48 pdb/system/image rw/pckg/.download/hello.qpk",
         "installed system-6.48\ninstalled hello-6.48\n"},
        {"an upgrade replaces the files", {"hello-6.48 /bin/hello /etc/old"}, {upgrade({hello49})},
         installed("hello-6.49"), 0, "hello-6.49", marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk"},
        {"a downgrade refused cancels the run", {older}, {upgrade({hello48, dl("ntp-6.48 /bin/ntp")})},
         "WARNING: omitting package hello-6.48: newer package hello-6.49 is already installed\n", 0, "hello-6.49",
         "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {"a downgrade allowed", {older}, {upgrade({hello48}, {"-down"})}, installed("hello-6.48"), 0, "hello-6.48",
         marker + "bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk"},
        {"a downgrade marker without a number allows any", {older}, {upgrade({hello48, {"/ram/DOWNGRADE", "any"}})},
         installed("hello-6.48"), 0, "hello-6.48",
         marker + "bin/hello=hello-6.48 etc/old=hello-6.48 ram/DOWNGRADE=any rw/pckg/.download/hello.qpk"},
        {"a downgrade below the marker's minimum", {older},
         {upgrade({hello48, {"/ram/DOWNGRADE", line::number("6.48.1")}})}, refused, 0, "hello-6.49",
         "bin/hello=hello-6.49 ram/DOWNGRADE=103835137 rw/pckg/.download/hello.qpk"},
        {"the first download directory that offers anything", {},
         {upgrade({hello48, {"/flash/rw/pckg/ntp.qpk", line::file("ntp-6.48")}})}, installed("hello-6.48"), 0,
         "hello-6.48", marker + "bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk rw/pckg/ntp.qpk"},
        {"the download directory ignored", {},
         {upgrade({hello48, {download + "IGNORE", ""}, {"/flash/var/pckg/ntp.qpk", line::file("ntp-6.48")}})},
         installed("ntp-6.48"), 0, "ntp-6.48",
         marker + "rw/pckg/.download/IGNORE= rw/pckg/.download/hello.qpk var/pckg/ntp.qpk"},
        {"the second candidate fails: nothing is applied", {}, {upgrade({hello48, dl("ntp-6.48 >hello arch=mips")})},
         installed("hello-6.48") + "ERROR: can not install ntp-6.48: it is not made for i386, but for mips\n", 0, "",
         "rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {"a bundle keeps its file as its image", {},
         {upgrade({{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp}")}})},
         installed("velnor-6.48"), 0, "dhcp-6.48 ^velnor velnor-6.48", marker + "bin/dhcp=dhcp-6.48 pdb/velnor/image"},
        {"the boot package becomes the boot image", {},
         {upgrade({dl("system-6.48 #1 %k /bin/sh")}, {}, {"bootimage=1"})}, installed("system-6.48"), 0,
         "system-6.48", marker + "UPGRADED=:600 bootimage pdb/system/image->/flash/bootimage"},
        {"the state the user chose survives an upgrade", {"ntp-6.48", "hello-6.48 off user"}, {upgrade({hello49})},
         disabled("hello-6.49"), 0, "hello-6.49 off user ntp-6.48",
         marker + "rw/pckg/.download/hello.qpk x/hello/bin/hello=hello-6.49"},
        {"a package the installation left disabled is enabled again",
         {"g-6.48 +greeting", "x-6.48 !hello:6.49", "hello-6.48"},
         {upgrade({dl("hello-6.49 +greeting"), dl("x-6.49 >greeting")})},
         disabled("hello-6.49") + installed("x-6.49") + "> enabling hello-6.49...\nenabled hello-6.49\n", 0,
         "g-6.48 hello-6.49 x-6.49", marker + "rw/pckg/.download/hello.qpk rw/pckg/.download/x.qpk"},
        {"but not one that conflicts with what the planner had to enable", {"c-6.48 !s:6.49", "s-6.48", "r-6.48 >s"},
         {upgrade({dl("s-6.49")})}, disabled("s-6.49"), 0, "c-6.48 off r-6.48 s-6.49",
         marker + "rw/pckg/.download/s.qpk"},
        {"staged for a later commit", {}, {upgrade({hello49}, {"--safe"})}, installed("hello-6.49"), 0, "", safe},
        {"and committed", {}, {upgrade({hello49}, {"--safe"}), {{"--commit"}}}, "finishing install...\n", 0,
         "hello-6.49", marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk"},
        {"a run while a saved manifest waits is refused", {},
         {upgrade({hello49}, {"--safe"}), upgrade({dl("hello-6.50 /bin/hello /bin/new")})}, pending, 1, "", safe},
        {"so its commit cannot put the older version back over a newer one", {},
         {upgrade({hello49}, {"--safe"}), upgrade({dl("hello-6.50 /bin/hello /bin/new")}), {{"--commit"}}},
         "finishing install...\n", 0, "hello-6.49", marker + "bin/hello=hello-6.49 " + hello_qpk},
        {"and a second --safe run is refused as well", {}, {upgrade({hello49}, {"--safe"}), upgrade({}, {"--safe"})},
         pending, 1, "", safe},
        {"a scheduled uninstall saved and committed", {"ntp-6.48", "hello-6.48 /bin/hello do=uninstall"},
         {upgrade({}, {"--safe"}), {{"--commit"}}}, "finishing install...\n", 0, "ntp-6.48", "PCKGS_CHANGED=:600"},
        {"the log of the last run carried over", {},
         {upgrade({hello49, {"/flash/postlog", "ERROR: earlier\nWARNING: cut"}})}, installed("hello-6.49"), 0,
         "hello-6.49", marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk",
         "ERROR: earlier\ninstalled hello-6.49\n"},
        {"no package at all", {}, {upgrade({})}, "ERROR: router installation failed!!!\n", 0, "", "",
         "ERROR: router installation failed!!!\n"},
        {"a bundle of one default-disabled member: neither the bundle nor its image stays", {"ntp-6.48"},
         {upgrade({{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp off}")}})},
         installed("velnor-6.48"), 0, "dhcp-6.48 off ^velnor do=uninstall ntp-6.48",
         marker + "rw/pckg/.download/velnor.vpk x/dhcp/bin/dhcp=dhcp-6.48"},
        {"of two packages that conflict only the first is enabled again",
         {"a-6.48", "b-6.48", "x-6.48 !a:6.49 !b:6.49"}, {upgrade({dl("a-6.49 !b"), dl("b-6.49"), dl("x-6.49")})},
         disabled("a-6.49") + disabled("b-6.49") + installed("x-6.49") + "> enabling a-6.49...\nenabled a-6.49\n", 0,
         "a-6.49 b-6.49 off x-6.49",
         marker + "rw/pckg/.download/a.qpk rw/pckg/.download/b.qpk rw/pckg/.download/x.qpk"},
        {"a directory of the old version becomes a file", {"hello-6.48 /etc/x/y /etc/x/z"},
         {upgrade({dl("hello-6.49 /etc/x")})}, installed("hello-6.49"), 0, "hello-6.49",
         marker + "etc/x=hello-6.49 rw/pckg/.download/hello.qpk"},
        {"and a file a directory", {"hello-6.48 /etc/x"}, {upgrade({dl("hello-6.49 /etc/x/y")})},
         installed("hello-6.49"), 0, "hello-6.49", marker + "etc/x/y=hello-6.49 rw/pckg/.download/hello.qpk"},
        {"the journal of an interrupted run is completed first, and what it staged is removed",
         {"hello-6.48 /bin/hello"},
         {upgrade({{"/flash/var/pdb/.journal", "M /flash/bin/hello /flash/bin/tmpAAAAAA\nU /flash/old\n"},
                   {"/flash/bin/tmpAAAAAA", "new"}, {"/flash/old", ""}, {"/flash/tmpBBBBBB", ""},
                   {"/flash/var/pdb/.staged", "/flash/bin/tmpAAAAAA\n/flash/tmpBBBBBB\n/flash/var/pdb/tmpCCCCCC\n"}})},
         "WARNING: completed the changes of an interrupted run\n", 0, "hello-6.48", "bin/hello=new"},
        {"files staged by a run that was stopped before it applied anything", {"hello-6.48 /bin/hello"},
         {upgrade({{"/flash/tmpBBBBBB", ""}, {"/flash/var/pdb/.staged", "/flash/tmpBBBBBB\n"}})},
         "WARNING: removed the files of an interrupted run\n", 0, "hello-6.48", "bin/hello=hello-6.48"},
        {"a package with a file inside another", {}, {upgrade({dl("hello-6.49 /etc/x /etc/x/y")})},
         "> installing hello-6.49\nERROR: installation of hello-6.49 failed: broken package\n", 0, "",
         "rw/pckg/.download/hello.qpk"},
    };
    // The downgrade marker read like a number typed by hand: a sign, blanks around it, digits past 32 bits (a minimum
    // above every version). A minimum above 6.48 refuses hello-6.48.
    const std::string n = line::number("6.48.1");
    for (const auto& [text, shown, no] : {std::tuple{"+" + n, "=+" + n, true}, {"\r\n " + n + " \n", "", true},
                                          {"99999999999999999999"s, "=99999999999999999999"s, true},
                                          {"4294967295"s, "=4294967295"s, true}, {"+6.40"s, "=+6.40"s, false}}) {
        const std::string left = " ram/DOWNGRADE" + shown + " rw/pckg/.download/hello.qpk";
        rows.push_back({"a downgrade marker", {older}, {upgrade({hello48, {"/ram/DOWNGRADE", text}})},
                        no ? refused : installed("hello-6.48"), 0, no ? "hello-6.49" : "hello-6.48",
                        no ? "bin/hello=hello-6.49" + left
                           : marker + "bin/hello=hello-6.48 etc/old=hello-6.48" + left});
    }
    scenario::check(rows);
}

// A root without /flash/boot has no room to measure: the upgrade says what is missing, ends with 28 and applies nothing.
TEST(UpgradeRunTest, RootWithoutBootDirectory) {
    temp_root root;
    ::rmdir(root.host("/flash/boot").c_str());
    const run_result r = scenario::run(root, {upgrade({dl("hello-6.48 /bin/hello")})});
    EXPECT_EQ(scenario::screen(r.out) + std::to_string(r.status),
              installed("hello-6.48") + "ERROR: not enough space for upgrade: /flash/boot is missing\n28");
    EXPECT_EQ(scenario::files(root), "rw/pckg/.download/hello.qpk");
}

}  // namespace
