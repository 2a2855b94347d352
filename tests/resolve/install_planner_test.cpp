// Installing packages and bundles from standard input ("installer -r ROOT -")
// and the clean-up run, through the real program: what the console shows,
// the exit status, the records the next run loads and the files left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <sstream>

#include "main/stream_install.h"
#include "resolve/check_flags.h"
#include "store/repository.h"
#include "support/package_maker.h"

#include "support/router_scenario.h"

namespace {

using scenario::bundle;
using scenario::pkg;
using scenario::step;

step install(const std::string& file, std::vector<std::string> args = {}) {
    args.push_back("-");
    return {args, file};
}

const std::string hello = pkg("hello-6.48.1 /bin/hello");
const std::string velnor1 = bundle("velnor-6.48 %v", {"dhcp-6.48 /bin/dhcp", "ppp-6.48 /bin/ppp"});

struct row {
    const char* what;
    std::vector<step> steps;
    std::string screen;
    int status;
    std::string records, files;
    const char* postlog = nullptr;  // checked when given
};

TEST(InstallPlannerTest, StreamInstallAndCleanUp) {
    const row rows[] = {
        {"a package", {install(hello)}, "installed hello-6.48.1\n", 0, "hello-6.48.1", "bin/hello=hello-6.48.1"},
        {"the same version again",
         {install(hello), install(hello)},
         "WARNING: omitting package hello-6.48.1: it is already installed\n",
         0,
         "hello-6.48.1",
         "bin/hello=hello-6.48.1",
         "installed hello-6.48.1\nWARNING: omitting package hello-6.48.1: it is already installed\n"},
        {"the same version counted as done",
         {install(hello), install(hello, {"--reinstall"})},
         "\nResuming upgrade...\ninstalled hello-6.48.1\n",
         0,
         "hello-6.48.1",
         "bin/hello=hello-6.48.1"},
        {"an image package keeps its file; an upgrade replaces files",
         {install(pkg("hello-6.48 %i /bin/hello /etc/old")), install(pkg("hello-6.49 %i /bin/hello"))},
         "installed hello-6.49\n",
         0,
         "hello-6.49",
         "bin/hello=hello-6.49 pdb/hello/image"},
        {"the boot package with a boot image requested",
         {{{"-"}, pkg("system-6.48 #1 %kernel /bin/sh"), {}, {"bootimage="}}},
         "installed system-6.48\n",
         0,
         "system-6.48",
         "UPGRADED= bootimage pdb/system/image->/flash/bootimage"},
        {"another architecture",
         {install(pkg("hello-6.48 @mips /bin/hello"))},
         "ERROR: can not install hello-6.48: it is not made for i386, but for mips\n",
         1,
         "",
         "",
         "ERROR: can not install hello-6.48: it is not made for i386, but for mips\n"},
        {"no package at all", {install("junk")}, "", 1, "", ""},
        {"no room for the copy of standard input",
         {{{"-"}, hello, {{"/flash/var/pdb/image/x", ""}}}},
         "ERROR: can not uninstall or disable all packages\nERROR: could not open image\n",
         255,
         "image-0.0 @uninstall",
         "pdb/image/x="},
        {"an enabled package conflicts with it: installed disabled",
         {install(pkg("ntp-6.48 !hello")), install(hello)},
         "installed (disabled) hello-6.48.1\n",
         0,
         "hello-6.48.1 off ntp-6.48",
         "x/hello/bin/hello=hello-6.48.1"},
        {"its own conflict disables the installed package",
         {install(hello), install(pkg("ntp-6.48 !hello"))},
         "installed ntp-6.48\n",
         0,
         "hello-6.48.1 off ntp-6.48",
         "bin/hello=hello-6.48.1"},
        {"a second-kind package keeps the installed record",
         {install(hello), install(pkg("hello-6.49 second-kind /bin/extra"))},
         "installed hello-6.49\n",
         0,
         "hello-6.48.1",
         "bin/extra=hello-6.49 bin/hello=hello-6.48.1"},
        {"a new version needing what only the old one provided",
         {install(pkg("ntp-6.48")), install(pkg("hello-6.48 +greeting")), install(pkg("hello-6.49 >greeting /bin/hello"))},
         "installed hello-6.49\nERROR: can not install hello-6.49: greeting is not installed, but is required\n",
         1,
         "hello-6.48 ntp-6.48",
         ""},
        {"a bundle, its default-disabled first member included",
         {install(bundle("velnor-6.48 %v", {"dhcp-6.48 /bin/dhcp", "ppp-6.48 /bin/ppp"}, {"dhcp"}))},
         "installed velnor-6.48\n",
         0,
         "dhcp-6.48 off ^velnor ppp-6.48 ^velnor velnor-6.48",
         "bin/ppp=ppp-6.48 pdb/velnor/image x/dhcp/bin/dhcp=dhcp-6.48"},
        {"a bundle upgrade drops a member",
         {install(velnor1), install(bundle("velnor-6.49 %v", {"dhcp-6.49 /bin/dhcp"}))},
         "installed velnor-6.49\n",
         0,
         "dhcp-6.49 ^velnor velnor-6.49",
         "bin/dhcp=dhcp-6.49 pdb/velnor/image"},
        {"a bundle an enabled package conflicts with",
         {install(pkg("ntp-6.48 !velnor")), install(velnor1)},
         "ERROR: can not install velnor-6.48: it conflicts with ntp-6.48\n",
         2,
         "ntp-6.48",
         ""},
        {"a member with an unmet dependency", {install(bundle("velnor-6.48", {"dhcp-6.48 >kernel"}))}, "", 2, "", ""},
        {"a bundle without members", {install(bundle("velnor-6.48", {}))}, "", 3, "", ""},
        {"clean-up",
         {install(pkg("system-6.48")), install(pkg("vigil-6.48")), install(pkg("hello-6.48 >system:3.22 /bin/hello")),
          install(pkg("ntp-6.48 >system:3.21 /bin/ntp")), install(bundle("velnor-6.48 %v", {"dhcp-6.48 >system:3.22"})),
          {{"--cleanup"}}},
         "",
         0,
         "dhcp-6.48 ^velnor hello-6.48 system-6.48 velnor-6.48 vigil-6.48",
         "bin/hello=hello-6.48 pdb/velnor/image"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_root root;
        const run_result result = scenario::run(root, r.steps);
        EXPECT_EQ(scenario::screen(result.out), r.screen);
        EXPECT_EQ(result.status, r.status) << result.err;
        EXPECT_EQ(scenario::records(root), r.records);
        // Also shows that no copy of standard input is left in the database
        // directory, and no staged file anywhere.
        EXPECT_EQ(scenario::files(root), r.files);
        if (r.postlog) {
            EXPECT_EQ(root.read_file("/flash/postlog"), r.postlog);
        }
    }
}

// A stream that stops after the description (the same version, not taken
// again) must not replace the installed image with the part of it that was
// read; the boot image is the whole file.
TEST(InstallPlannerTest, ImagesAreWholePackageFiles) {
    temp_root root;
    const std::string image = pkg("hello-6.48 %i /bin/hello"), boot = pkg("system-6.48 #1 %k");
    scenario::run(root, {install(image), install(image), install(image, {"--reinstall"}),
                         {{"-"}, boot, {}, {"bootimage="}}});
    EXPECT_EQ(root.read_file("/flash/var/pdb/hello/image"), image);
    EXPECT_EQ(root.read_file("/flash/bootimage"), boot);
}

// A copy of standard input that the flash cannot hold whole never becomes a
// package image: the installation fails and leaves nothing behind.
TEST(InstallPlannerTest, ACopyThatDoesNotFitFails) {
    temp_root root;
    std::mt19937 random(7);
    std::string noise(200000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    maker::recipe big;
    big.image = noise;
    const std::string file = maker::package(big);
    const run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "128k"); },
        [&] {
            for (const char* dir : {"/flash/boot", "/flash/var", "/flash/var/pdb"}) ::mkdir(dir, 0755);
            std::istringstream input(file);
            load_repository(context(), false, "i386");
            return stream_install_mode(context(), input, check_newer) == 1 ? 0 : 1;
        });
    if (r.status == 77) GTEST_SKIP() << r.err;
    EXPECT_EQ(scenario::screen(r.out), "installed hello-6.48.1\nERROR: could not write image\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(scenario::files(root), "");
}

}  // namespace
