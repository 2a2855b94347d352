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

std::vector<scenario::row> scenarios() {
    const auto hello48 = dl("hello-6.48 /bin/hello /etc/old"), hello49 = dl("hello-6.49 /bin/hello");
    const std::string older = "hello-6.49 /bin/hello";
    const std::string marker = "PCKGS_CHANGED=:600 ";
    const std::string refused = "WARNING: ommitting package hello-6.48: not allowed\n";
    const std::string hello_qpk = "rw/pckg/.download/hello.qpk";
    const std::string safe = "pdb/.staged:600 pdb/tmp*:600 pdb/tmp*:600 pdb/tmp*:600 pdb/tmp*=:600 ram/MANIFEST " + hello_qpk +
                             " tmp*=:600 tmp*=hello-6.49";
    const std::string pending = "ERROR: changes saved by an earlier run wait for --commit or --cancel\n";
    std::vector<scenario::row> rows = {
        {.what = "a fresh install, in dependency order",
         .steps = {upgrade({dl("hello-6.48 >kernel /bin/hello"), dl("system-6.48 +kernel %s /bin/sh")})},
         .screen = installed("system-6.48") + installed("hello-6.48"), .records = "hello-6.48 system-6.48",
         .files = marker + "bin/hello=hello-6.48 bin/sh=system-6.48 pdb/system/image rw/pckg/.download/hello.qpk",
         .postlog = "installed system-6.48\ninstalled hello-6.48\n"},
        {.what = "an upgrade replaces the files", .installed = {"hello-6.48 /bin/hello /etc/old"},
         .steps = {upgrade({hello49})}, .screen = installed("hello-6.49"), .records = "hello-6.49",
         .files = marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk"},
        {.what = "a downgrade refused cancels the run", .installed = {older},
         .steps = {upgrade({hello48, dl("ntp-6.48 /bin/ntp")})},
         .screen = "WARNING: omitting package hello-6.48: newer package hello-6.49 is already installed\n",
         .records = "hello-6.49",
         .files = "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {.what = "a downgrade allowed", .installed = {older}, .steps = {upgrade({hello48}, {"-down"})},
         .screen = installed("hello-6.48"), .records = "hello-6.48",
         .files = marker + "bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk"},
        {.what = "a downgrade marker without a number allows any", .installed = {older},
         .steps = {upgrade({hello48, {"/ram/DOWNGRADE", "any"}})}, .screen = installed("hello-6.48"),
         .records = "hello-6.48",
         .files = marker + "bin/hello=hello-6.48 etc/old=hello-6.48 ram/DOWNGRADE=any rw/pckg/.download/hello.qpk"},
        {.what = "a downgrade below the marker's minimum", .installed = {older},
         .steps = {upgrade({hello48, {"/ram/DOWNGRADE", line::number("6.48.1")}})}, .screen = refused,
         .records = "hello-6.49", .files = "bin/hello=hello-6.49 ram/DOWNGRADE=103835137 rw/pckg/.download/hello.qpk"},
        {.what = "the first download directory that offers anything",
         .steps = {upgrade({hello48, {"/flash/rw/pckg/ntp.qpk", line::file("ntp-6.48")}})},
         .screen = installed("hello-6.48"), .records = "hello-6.48",
         .files = marker + "bin/hello=hello-6.48 etc/old=hello-6.48 rw/pckg/.download/hello.qpk rw/pckg/ntp.qpk"},
        {.what = "the download directory ignored",
         .steps = {upgrade({hello48, {download + "IGNORE", ""}, {"/flash/var/pckg/ntp.qpk", line::file("ntp-6.48")}})},
         .screen = installed("ntp-6.48"), .records = "ntp-6.48",
         .files = marker + "rw/pckg/.download/IGNORE= rw/pckg/.download/hello.qpk var/pckg/ntp.qpk"},
        {.what = "the second candidate fails: nothing is applied",
         .steps = {upgrade({hello48, dl("ntp-6.48 >hello arch=mips")})},
         .screen = installed("hello-6.48") + "ERROR: can not install ntp-6.48: it is not made for i386, but for mips\n",
         .files = "rw/pckg/.download/hello.qpk rw/pckg/.download/ntp.qpk"},
        {.what = "a bundle keeps its file as its image",
         .steps = {upgrade({{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp}")}})},
         .screen = installed("velnor-6.48"), .records = "dhcp-6.48 ^velnor velnor-6.48",
         .files = marker + "bin/dhcp=dhcp-6.48 pdb/velnor/image"},
        {.what = "the boot package becomes the boot image",
         .steps = {upgrade({dl("system-6.48 #1 %k /bin/sh")}, {}, {"bootimage=1"})}, .screen = installed("system-6.48"),
         .records = "system-6.48", .files = marker + "UPGRADED=:600 bootimage pdb/system/image->/flash/bootimage"},
        {.what = "the state the user chose survives an upgrade", .installed = {"ntp-6.48", "hello-6.48 off user"},
         .steps = {upgrade({hello49})}, .screen = disabled("hello-6.49"), .records = "hello-6.49 off user ntp-6.48",
         .files = marker + "rw/pckg/.download/hello.qpk x/hello/bin/hello=hello-6.49"},
        {.what = "a package the installation left disabled is enabled again",
         .installed = {"g-6.48 +greeting", "x-6.48 !hello:6.49", "hello-6.48"},
         .steps = {upgrade({dl("hello-6.49 +greeting"), dl("x-6.49 >greeting")})},
         .screen = disabled("hello-6.49") + installed("x-6.49") + "> enabling hello-6.49...\nenabled hello-6.49\n",
         .records = "g-6.48 hello-6.49 x-6.49",
         .files = marker + "rw/pckg/.download/hello.qpk rw/pckg/.download/x.qpk"},
        {.what = "but not one that conflicts with what the planner had to enable",
         .installed = {"c-6.48 !s:6.49", "s-6.48", "r-6.48 >s"}, .steps = {upgrade({dl("s-6.49")})},
         .screen = disabled("s-6.49"), .records = "c-6.48 off r-6.48 s-6.49",
         .files = marker + "rw/pckg/.download/s.qpk"},
        {.what = "staged for a later commit", .steps = {upgrade({hello49}, {"--safe"})},
         .screen = installed("hello-6.49"), .files = safe},
        {.what = "and committed", .steps = {upgrade({hello49}, {"--safe"}), {{"--commit"}}},
         .screen = "finishing install...\n", .records = "hello-6.49",
         .files = marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk"},
        {.what = "a run while a saved manifest waits is refused",
         .steps = {upgrade({hello49}, {"--safe"}), upgrade({dl("hello-6.50 /bin/hello /bin/new")})}, .screen = pending,
         .status = 1, .files = safe},
        {.what = "so its commit cannot put the older version back over a newer one",
         .steps = {upgrade({hello49}, {"--safe"}), upgrade({dl("hello-6.50 /bin/hello /bin/new")}), {{"--commit"}}},
         .screen = "finishing install...\n", .records = "hello-6.49",
         .files = marker + "bin/hello=hello-6.49 " + hello_qpk},
        {.what = "and a second --safe run is refused as well",
         .steps = {upgrade({hello49}, {"--safe"}), upgrade({}, {"--safe"})}, .screen = pending, .status = 1,
         .files = safe},
        {.what = "a scheduled uninstall saved and committed",
         .installed = {"ntp-6.48", "hello-6.48 /bin/hello do=uninstall"},
         .steps = {upgrade({}, {"--safe"}), {{"--commit"}}}, .screen = "finishing install...\n", .records = "ntp-6.48",
         .files = "PCKGS_CHANGED=:600"},
        {.what = "the log of the last run carried over",
         .steps = {upgrade({hello49, {"/flash/postlog", "ERROR: earlier\nWARNING: cut"}})},
         .screen = installed("hello-6.49"), .records = "hello-6.49",
         .files = marker + "bin/hello=hello-6.49 rw/pckg/.download/hello.qpk",
         .postlog = "ERROR: earlier\ninstalled hello-6.49\n"},
        {.what = "no package at all", .steps = {upgrade({})}, .screen = "ERROR: router installation failed!!!\n",
         .postlog = "ERROR: router installation failed!!!\n"},
        {.what = "a bundle of one default-disabled member: neither the bundle nor its image stays",
         .installed = {"ntp-6.48"},
         .steps = {upgrade({{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp off}")}})},
         .screen = installed("velnor-6.48"), .records = "dhcp-6.48 off ^velnor do=uninstall ntp-6.48",
         .files = marker + "rw/pckg/.download/velnor.vpk x/dhcp/bin/dhcp=dhcp-6.48"},
        {.what = "of two packages that conflict only the first is enabled again",
         .installed = {"a-6.48", "b-6.48", "x-6.48 !a:6.49 !b:6.49"},
         .steps = {upgrade({dl("a-6.49 !b"), dl("b-6.49"), dl("x-6.49")})},
         .screen =
             disabled("a-6.49") + disabled("b-6.49") + installed("x-6.49") + "> enabling a-6.49...\nenabled a-6.49\n",
         .records = "a-6.49 b-6.49 off x-6.49",
         .files = marker + "rw/pckg/.download/a.qpk rw/pckg/.download/b.qpk rw/pckg/.download/x.qpk"},
        {.what = "a directory of the old version becomes a file", .installed = {"hello-6.48 /etc/x/y /etc/x/z"},
         .steps = {upgrade({dl("hello-6.49 /etc/x")})}, .screen = installed("hello-6.49"), .records = "hello-6.49",
         .files = marker + "etc/x=hello-6.49 rw/pckg/.download/hello.qpk"},
        {.what = "and a file a directory", .installed = {"hello-6.48 /etc/x"},
         .steps = {upgrade({dl("hello-6.49 /etc/x/y")})}, .screen = installed("hello-6.49"), .records = "hello-6.49",
         .files = marker + "etc/x/y=hello-6.49 rw/pckg/.download/hello.qpk"},
        {.what = "the journal of an interrupted run is completed first, and what it staged is removed",
         .installed = {"hello-6.48 /bin/hello"},
         .steps = {upgrade({{"/flash/var/pdb/.journal", "M /flash/bin/hello /flash/bin/tmpAAAAAA\nU /flash/old\n"},
                            {"/flash/bin/tmpAAAAAA", "new"}, {"/flash/old", ""}, {"/flash/tmpBBBBBB", ""},
                            {"/flash/var/pdb/.staged",
                             "/flash/bin/tmpAAAAAA\n/flash/tmpBBBBBB\n/flash/var/pdb/tmpCCCCCC\n"}})},
         .screen = "WARNING: completed the changes of an interrupted run\n", .records = "hello-6.48",
         .files = "bin/hello=new"},
        {.what = "files staged by a run that was stopped before it applied anything",
         .installed = {"hello-6.48 /bin/hello"},
         .steps = {upgrade({{"/flash/tmpBBBBBB", ""}, {"/flash/var/pdb/.staged", "/flash/tmpBBBBBB\n"}})},
         .screen = "WARNING: removed the files of an interrupted run\n", .records = "hello-6.48",
         .files = "bin/hello=hello-6.48"},
        {.what = "a package with a file inside another", .steps = {upgrade({dl("hello-6.49 /etc/x /etc/x/y")})},
         .screen = "> installing hello-6.49\nERROR: installation of hello-6.49 failed: broken package\n",
         .files = "rw/pckg/.download/hello.qpk"},
    };
    // The downgrade marker read like a number typed by hand: a sign, blanks around it, digits past 32 bits (a minimum
    // above every version). A minimum above 6.48 refuses hello-6.48.
    const std::string n = line::number("6.48.1");
    for (const auto& [text, shown, no] : {std::tuple{"+" + n, "=+" + n, true}, {"\r\n " + n + " \n", "", true},
                                          {"99999999999999999999"s, "=99999999999999999999"s, true},
                                          {"4294967295"s, "=4294967295"s, true}, {"+6.40"s, "=+6.40"s, false}}) {
        const std::string left = " ram/DOWNGRADE" + shown + " rw/pckg/.download/hello.qpk";
        rows.push_back({.what = "a downgrade marker", .installed = {older},
                        .steps = {upgrade({hello48, {"/ram/DOWNGRADE", text}})},
                        .screen = no ? refused : installed("hello-6.48"), .records = no ? "hello-6.49" : "hello-6.48",
                        .files = no ? "bin/hello=hello-6.49" + left
                                    : marker + "bin/hello=hello-6.48 etc/old=hello-6.48" + left});
    }
    return rows;
}
SCENARIO_TABLE(UpgradeRunScenarios, scenarios());

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
