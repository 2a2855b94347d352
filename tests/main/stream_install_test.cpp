// Installing packages and bundles from standard input ("installer -r ROOT -") and the clean-up run, through the
// real program: what the console shows, the exit status, the records the next run loads and the files left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>

#include <iterator>
#include <set>
#include <sstream>

#include "console/printable.h"
#include "store/database.h"
#include "store/installing.h"
#include "store/package_format.h"
#include "support/host_files.h"
#include "support/limited_run.h"
#include "support/package_line.h"
#include "support/sample_packages.h"
#include "support/router_scenario.h"

namespace {

using scenario::step;
using namespace std::string_literals;

step in(const std::string& file, std::vector<std::string> args = {}, std::vector<std::string> env = {}) {
    args.push_back("-");
    return {args, file, {}, env};
}

// The package hello with these files, or with these parts after its signature.
std::string hello_files(const std::vector<qpk::file_item>& files) {
    qpk::package_contents c = line::contents("hello-6.48.1");
    c.files = files;
    return line::file(c);
}
std::string hello_after(const std::vector<qpk::raw_part>& parts) {
    qpk::package_contents c = line::contents("hello-6.48.1");
    c.after_signature = parts;
    return line::file(c);
}

// The file with its header declaring another size.
std::string declaring(std::string file, std::size_t size) {
    for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<char>((size - 8) >> 8 * i);
    return file;
}

std::string done(const std::string& package) { return "> installing " + package + "\ninstalled " + package + "\n"; }

const std::string hello = line::file("hello-6.48.1 /bin/hello");
const std::string installing = "> installing hello-6.48.1\n";
std::string broken_as(const std::string& package) {
    return "> installing " + package + "\nERROR: installation of " + package + " failed: broken package\n";
}
const std::string broken = broken_as("hello-6.48.1");

std::vector<scenario::row> scenarios() {
    const std::string h = "hello-6.48.1";
    const std::string off = "> installing  (disabled) hello-6.48.1\ninstalled (disabled) hello-6.48.1\n";
    const std::string cut_after_signature = hello_after({{part_type::architecture, "i386"}});
    const std::string wrong_arch = "ERROR: can not install hello-6.48: it is not made for i386, but for mips\n";
    const std::string again = "WARNING: omitting package hello-6.48.1: it is already installed\n";
    std::vector<scenario::row> rows = {
        {.what = "a package", .steps = {in(hello)}, .screen = done(h), .records = h, .files = "bin/hello=hello-6.48.1"},
        {.what = "files, modes and file lists",
         .steps = {in(hello_files({qpk::regular_file("etc/hello", "config"),
                                   qpk::regular_file("/bin/hello", "run", 04755), qpk::directory_entry("var/hello"),
                                   qpk::symlink_entry("etc/link", "hello")}))},
         .screen = done(h), .records = h, .files = "bin/hello=run:755 etc/hello=config"},
        {.what = "names beside the installer's own files",
         .steps = {in(hello_files({qpk::regular_file("var/pdbx", "1"), qpk::regular_file("var/x/pdb/y", "2"),
                                   qpk::regular_file("etc/UPGRADED", "3"), qpk::regular_file("bootimage.old", "4")}))},
         .screen = done(h), .records = h, .files = "bootimage.old=4 etc/UPGRADED=3 var/pdbx=1 var/x/pdb/y=2"},
        {.what = "processor classes",
         .steps = {in(hello_files({qpk::regular_file("a", "0"), qpk::regular_file("b", "2", 0644, 2),
                                   qpk::regular_file("c", "4", 0644, 4)}))},
         .screen = done(h), .records = h, .files = "a=0"},
        {.what = "the same version again", .installed = {"hello-6.48.1 /bin/hello"}, .steps = {in(hello)},
         .screen = again, .records = h, .files = "bin/hello=hello-6.48.1", .postlog = again},
        {.what = "the same version counted as done", .installed = {"hello-6.48.1 /bin/hello"},
         .steps = {in(hello, {"--reinstall"})}, .screen = "\nResuming upgrade...\ninstalled hello-6.48.1\n",
         .records = h, .files = "bin/hello=hello-6.48.1"},
        {.what = "an image package keeps its file; an upgrade replaces files",
         .steps = {in(line::file("hello-6.48 %i /bin/hello /etc/old")), in(line::file("hello-6.49 %i /bin/hello"))},
         .screen = done("hello-6.49"), .records = "hello-6.49", .files = "bin/hello=hello-6.49 pdb/hello/image"},
        {.what = "the boot package", .steps = {in(line::file("system-6.48 #1 /lib/kernel"))},
         .screen = done("system-6.48"), .records = "system-6.48", .files = "UPGRADED=:600 lib/kernel=system-6.48"},
        {.what = "the boot package with a boot image requested",
         .steps = {in(line::file("system-6.48 #1 %kernel /bin/sh"), {}, {"bootimage="})}, .screen = done("system-6.48"),
         .records = "system-6.48", .files = "UPGRADED=:600 bootimage pdb/system/image->/flash/bootimage"},
        {.what = "another architecture", .steps = {in(line::file("hello-6.48 arch=mips /bin/hello"))},
         .screen = wrong_arch, .status = 1, .postlog = wrong_arch},
        {.what = "no package at all", .steps = {in("junk")}, .status = 1},
        {.what = "the copy of standard input has a name of its own",
         .steps = {{{"-"}, hello, {{"/flash/var/pdb/image/x", ""}}}},
         .screen = "ERROR: can not uninstall or disable all packages\n" + done(h),
         .records = "hello-6.48.1 image-0.0 do=uninstall", .files = "bin/hello=hello-6.48.1 pdb/image/x="},
        {.what = "and one a killed run left is removed",
         .steps = {{{"-"}, hello, {{"/flash/var/pdb/.imagetmpAb12Cd", "x"}}}}, .screen = done(h), .records = h,
         .files = "bin/hello=hello-6.48.1"},
        {.what = "a saved manifest waits", .steps = {{{"-"}, hello, {{"/ram/MANIFEST", "U /flash/x\n"}}}},
         .screen = "ERROR: changes saved by an earlier run wait for --commit or --cancel\n", .status = 1,
         .files = "ram/MANIFEST"},
        {.what = "the record directory taken by a file", .steps = {{{"-"}, hello, {{"/flash/var/pdb/hello", "x"}}}},
         .screen = installing, .status = 1, .files = "pdb/hello=x"},
        {.what = "an enabled package conflicts with it: installed disabled", .installed = {"ntp-6.48 !hello"},
         .steps = {in(hello)}, .screen = off, .records = "hello-6.48.1 off ntp-6.48",
         .files = "x/hello/bin/hello=hello-6.48.1"},
        {.what = "its own conflict disables the installed package", .installed = {"hello-6.48.1 /bin/hello"},
         .steps = {in(line::file("ntp-6.48 !hello"))}, .screen = done("ntp-6.48"),
         .records = "hello-6.48.1 off ntp-6.48", .files = "bin/hello=hello-6.48.1"},
        {.what = "a second-kind package keeps the installed record", .installed = {"hello-6.48.1 /bin/hello"},
         .steps = {in(line::file("hello-6.49 second-kind /bin/extra"))}, .screen = done("hello-6.49"), .records = h,
         .files = "bin/extra=hello-6.49 bin/hello=hello-6.48.1"},
        {.what = "a new version needing what only the old one provided",
         .installed = {"ntp-6.48", "hello-6.48 +greeting"},
         .steps = {in(line::file("hello-6.49 >greeting /bin/hello"))},
         .screen =
             done("hello-6.49") + "ERROR: can not install hello-6.49: greeting is not installed, but is required\n",
         .status = 1, .records = "hello-6.48 ntp-6.48"},
        {.what = "a bundle, its default-disabled first member included",
         .steps = {in(line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp off} {ppp-6.48 /bin/ppp}"))},
         .screen = done("velnor-6.48"), .records = "dhcp-6.48 off ^velnor ppp-6.48 ^velnor velnor-6.48",
         .files = "bin/ppp=ppp-6.48 pdb/velnor/image x/dhcp/bin/dhcp=dhcp-6.48"},
        {.what = "a bundle upgrade drops a member", .installed = {"velnor-6.48 %v {dhcp-6.48} {ppp-6.48}"},
         .steps = {in(line::file("velnor-6.49 %v {dhcp-6.49 /bin/dhcp}"))}, .screen = done("velnor-6.49"),
         .records = "dhcp-6.49 ^velnor velnor-6.49", .files = "bin/dhcp=dhcp-6.49 pdb/velnor/image"},
        {.what = "a bundle an enabled package conflicts with", .installed = {"ntp-6.48 !velnor"},
         .steps = {in(line::file("velnor-6.48 {ppp-6.48}"))},
         .screen = "ERROR: can not install velnor-6.48: it conflicts with ntp-6.48\n", .status = 2,
         .records = "ntp-6.48"},
        {.what = "a member with an unmet dependency", .steps = {in(line::file("velnor-6.48 {dhcp-6.48 >kernel}"))},
         .status = 2},
        {.what = "a bundle without members", .steps = {in(line::file("velnor-6.48 bundle"))}, .status = 3},
        {.what = "clean-up",
         .installed = {"system-6.48", "vigil-6.48", "hello-6.48 >system:3.22 /bin/hello",
                       "ntp-6.48 >system:3.21 /bin/ntp", "velnor-6.48 %v {dhcp-6.48 >system:3.22}",
                       "old-6.48 {inner-6.48}"},
         .steps = {{{"--cleanup"}}}, .records = "dhcp-6.48 ^velnor hello-6.48 system-6.48 velnor-6.48 vigil-6.48",
         .files = "bin/hello=hello-6.48 pdb/velnor/image"},
        {.what = "branding needs level 1 only", .steps = {in(line::file("branding-7.2", 1))},
         .screen = done("branding-7.2"), .records = "branding-7.2", .files = "UPGRADED=:600"},
        {.what = "6.48.1 at level 1", .steps = {in(line::file("hello-6.48.1 /bin/hello", 1))}, .screen = broken,
         .status = 1},
        {.what = "secure mode", .steps = {{{"-"}, line::file("hello-6.48 /bin/hello", 1), {{"/ram/SECURE", ""}}}},
         .screen = broken_as("hello-6.48"), .status = 1, .files = "ram/SECURE="},
        {.what = "unsigned", .steps = {in(line::file("hello-6.48.1 /bin/hello", 0))}, .screen = broken, .status = 1},
        {.what = "6.48 unsigned", .steps = {in(line::file("hello-6.48", 0))}, .screen = broken_as("hello-6.48"),
         .status = 1},
        {.what = "6.46.9 at level 2", .steps = {in(line::file("hello-6.46.9", 2))}, .screen = done("hello-6.46.9"),
         .records = "hello-6.46.9"},
        {.what = "allowed after the signature",
         .steps = {in(hello_after({{part_type::architecture, "i386"}, {part_type::dependency_list, ""}}))},
         .screen = done(h), .records = h},
        {.what = "dependencies after the signature", .steps = {in(hello_after({{part_type::dependency_list, "x"}}))},
         .screen = broken, .status = 1},
        {.what = "more bytes after its declared end", .steps = {in(hello + std::string(70000, '\0'))}, .screen = broken,
         .status = 1},
        {.what = "its signature part claiming past the declared end",
         .steps = {in(declaring(hello, hello.size() - 20))}, .screen = broken, .status = 1},
        {.what = "cut after the signature",
         .steps = {in(cut_after_signature.substr(0, cut_after_signature.size() - 2))}, .screen = broken, .status = 1},
        {.what = "cut in the image",
         .steps = {in(line::file("hello-6.48.1 %" + std::string(10000, 'i')).substr(0, 5000))}, .screen = broken,
         .status = 1},
    };
    // A list of more than a mebibyte is read back whole: the uninstall removes every file.
    std::vector<qpk::file_item> many;
    for (int i = 0; i < 6000; ++i) many.push_back(qpk::regular_file(std::string(200, 'f') + std::to_string(i), ""));
    rows.push_back({.what = "a long files list", .installed = {"system-6.48"},
                    .steps = {in(hello_files(many)), {{"--cleanup"}}}, .records = "system-6.48"});
    rows.push_back({.what = "a files list too long to read keeps its record",
                    .installed = {"hello-6.48 /bin/hello do=uninstall", "system-6.48"},
                    .steps = {{{"--cleanup"}, "",
                               {{"/flash/var/pdb/hello/files", std::string(max_file_list_size + 1, 'a')}}}},
                    .records = "hello-6.48 system-6.48", .files = "bin/hello=hello-6.48"});
    for (std::size_t cut : {35, 40}) {
        qpk::package_contents c = line::contents("hello-6.48.1");
        c.files.emplace();
        std::vector<qpk::raw_part> parts = qpk::package_parts(c);
        const std::string archive = qpk::encode_file_entries({qpk::regular_file("etc/hello", "config")});
        for (qpk::raw_part& part : parts)
            if (part.type == part_type::file_archive) part.data = qpk::zlib_compress(archive.substr(0, cut));
        std::string file = qpk::encode_container(parts, false), error;
        qpk::sign_parts(file, samples::development_signer(), error);
        rows.push_back({.what = "an archive cut short", .steps = {in(file)}, .screen = broken, .status = 1});
    }
    for (const std::string& name : {""s, "/"s, "."s, "etc/"s, "../x"s, "etc/../../x"s, "a b"s, "a\tb"s, "a\nb"s,
                                    "a\rb"s, "a\0b"s, std::string(PATH_MAX, 'a'),
                                    "etc/" + std::string(NAME_MAX + 1, 'a'), "var/pdb/ntp/version"s, "/var/pdb/x"s,
                                    "var/pdb"s, "bootimage"s, "/postlog"s, "PCKGS_CHANGED"s, "UPGRADED"s})
        rows.push_back({.what = "a file entry named badly",
                        .steps = {in(hello_files({qpk::regular_file("etc/ok", ""), qpk::regular_file(name, "x")}))},
                        .screen = broken, .status = 1});
    for (const std::string name : {"", ".", "..", "a/b", "a\nb", "image"}) {
        qpk::package_contents c = line::contents("hello-6.48.1 /etc/hello");
        c.name = name;
        const std::string shown = printable(name) + "-6.48.1";
        rows.push_back({.what = "a package named badly", .steps = {in(line::file(c))},
                        .screen = "ERROR: installation of " + shown + " failed: broken package\n", .status = 1});
    }
    return rows;
}
SCENARIO_TABLE(StreamInstallScenarios, scenarios());

// A stream that stops after the description (the same version, not taken again) must not replace the installed image
// with the part of it that was read; the boot image is the whole file.
TEST(StreamInstallTest, ImagesAreWholePackageFiles) {
    temp_root root;
    const std::string image = line::file("hello-6.48 %i /bin/hello"), boot = line::file("system-6.48 #1 %k");
    scenario::run(root, {in(image), in(image), in(image, {"--reinstall"}), in(boot, {}, {"bootimage="})});
    EXPECT_EQ(root.read_file("/flash/var/pdb/hello/image"), image);
    EXPECT_EQ(root.read_file("/flash/bootimage"), boot);
}

// Without room on small disks: a file larger than the disk, one that fills it only at the flush, a copy of standard
// input that the flash cannot hold whole (it never becomes a package image), and an upgrade run without room for what
// it staged (nothing is applied, the run ends with 28).
TEST(StreamInstallTest, SmallDisks) {
    const auto big = [](std::size_t file, std::size_t image) {
        qpk::package_contents c = line::contents("hello-6.48.1");
        if (file) c.files = {qpk::regular_file("big", byte_pattern(file))};
        std::string noise(image, '\0');
        for (std::size_t i = 0; i < image; ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        if (image) c.image = noise;
        return line::file(c);
    };
    // A file that promises a gibibyte: refused before a byte of it is staged.
    const std::string promise = [] {
        qpk::package_contents c = line::contents("hello-6.48.1");
        c.files.emplace();
        std::vector<qpk::raw_part> parts = qpk::package_parts(c);
        std::string archive = qpk::encode_file_entries({qpk::regular_file("big", "only this")});
        archive[27] = 0x40;  // the size field, little-endian: 1 GiB and 9 bytes
        for (qpk::raw_part& part : parts)
            if (part.type == part_type::file_archive) part.data = qpk::zlib_compress(archive);
        std::string file = qpk::encode_container(parts, false), error;
        qpk::sign_parts(file, samples::development_signer(), error);
        return file;
    }();
    const std::string too_small = installing + "ERROR: installation of hello-6.48.1 failed: disk is too small\n";
    const struct {
        std::string size;
        std::size_t fill;
        std::string input, screen;
        int status;
        std::string left;
        const char* option = nullptr;
    } rows[] = {
        {"64k", 0, big(100000, 0), too_small, 1, ""},
        {"64k", 0, big(65536 + 100, 0), too_small, 1, ""},
        {"1m", 0, promise, too_small, 1, ""},
        {"128k", 0, big(0, 200000), installing + "installed hello-6.48.1\nERROR: could not write image\n", 1, ""},
        {"256k", 49 * 4096, "", done("hello-6.48") + "ERROR: not enough space for upgrade\n", 28,
         "fill rw/pckg/.download/hello.qpk"},  // 15 blocks of 4 KiB left
        // At the edge, a simulation decides as the run does: it counts the room its staged files would take.
        {"256k", 42 * 4096, "", done("hello-6.48") + "ERROR: not enough space for upgrade\n", 28,
         "fill rw/pckg/.download/hello.qpk"},
        {"256k", 42 * 4096, "", "refused: not enough space for upgrade\n", 28, "fill rw/pckg/.download/hello.qpk",
         "--simulate"},
        {"256k", 41 * 4096, "", "install hello-6.48\n", 0, "fill rw/pckg/.download/hello.qpk", "--simulate"},
        {"256k", 41 * 4096, "", done("hello-6.48"), 0,
         "PCKGS_CHANGED=:600 bin/hello=hello-6.48 fill rw/pckg/.download/hello.qpk"},
    };
    for (const auto& r : rows) {
        temp_root root;
        if (r.input.empty()) root.write_file("/rw/pckg/.download/hello.qpk", line::file("hello-6.48 /bin/hello"));
        auto args = r.input.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-"};
        if (r.option) args.insert(args.begin(), r.option);
        const run_result run = scenario::run_on_small_disks(root, r.size, r.fill, args, r.input);
        if (run.status == 77) GTEST_SKIP() << run.err;
        EXPECT_EQ(scenario::screen(run.out), r.screen);
        EXPECT_EQ(run.status, r.status);
        EXPECT_EQ(run.left, r.left);
    }
}

}  // namespace

namespace {

// The root's own files, which no run may reach through a link on flash.
std::string outside_flash(const temp_root& root) {
    std::string text;
    for (const std::string& line : snapshot(root.host("/etc"))) text += line + "\n";
    return text;
}

struct link_row {
    const char* what;
    std::vector<std::string> installed = {};
    std::string link;  // made a link to /etc after the packages are laid out
    std::vector<step> steps = {};
    std::string screen = "";
    int status = 0;
    std::string records = "", files = "";  // the root's own /etc left out
    std::string test_name = "";
};
void PrintTo(const link_row& r, std::ostream* out) { *out << r.what; }

std::vector<link_row> link_rows() {
    const std::string passwd = line::file("hello-6.48.1 /etc/passwd");
    return scenario::named<link_row>({
        {.what = "a directory of a file", .link = "/flash/etc", .steps = {in(passwd)}, .screen = broken, .status = 1,
         .files = "etc->/etc"},
        {.what = "a deeper one", .link = "/flash/etc", .steps = {in(line::file("hello-6.48.1 /etc/a/b/c"))},
         .screen = broken, .status = 1, .files = "etc->/etc"},
        {.what = "a file's own path is replaced, not followed", .link = "/flash/etc/passwd", .steps = {in(passwd)},
         .screen = done("hello-6.48.1"), .records = "hello-6.48.1", .files = "etc/passwd=hello-6.48.1"},
        {.what = "the record directory", .link = "/flash/var/pdb/hello", .steps = {in(hello)}, .screen = broken,
         .status = 1, .records = "hello-0.06", .files = "pdb/hello->/etc"},
        {.what = "the database", .link = "/flash/var/pdb", .steps = {in(hello)},
         .screen = "ERROR: could not open image\n", .status = 255, .files = "var/pdb->/etc"},
        {.what = "an uninstall through a directory",
         .installed = {"hello-6.48 /etc/passwd do=uninstall", "system-6.48"}, .link = "/flash/etc",
         .steps = {{{"--cleanup"}}}, .records = "system-6.48", .files = "etc->/etc"},
        {.what = "an uninstall of a linked record: the link goes", .installed = {"system-6.48"},
         .link = "/flash/var/pdb/hello", .steps = {{{"--cleanup"}}}, .records = "system-6.48"},
    });
}

using LinksOnFlashAreNeverFollowed = testing::TestWithParam<link_row>;
INSTANTIATE_TEST_SUITE_P(Rows, LinksOnFlashAreNeverFollowed, testing::ValuesIn(link_rows()), scenario::test_name());

}  // namespace

// Symbolic links already on flash, to the root's /etc: an installation through one is refused before anything of it is
// staged, an uninstall removes nothing behind one, and the stream install makes no copy through one.
TEST_P(LinksOnFlashAreNeverFollowed, Run) {
    const link_row& r = GetParam();
    temp_root root;
    scenario::lay_out(root, r.installed);
    root.write_file("/etc/passwd", "root");
    root.write_file("/etc/version", "6 0\n");
    root.write_file("/etc/files", "passwd\n");
    remove_tree(root.host(r.link));
    root.make_dir(r.link.substr(0, r.link.rfind('/')));
    ASSERT_EQ(::symlink("/etc", root.host(r.link).c_str()), 0);
    const std::string before = outside_flash(root);
    const run_result result = scenario::run(root, r.steps);
    EXPECT_EQ(scenario::screen(result.out), r.screen);
    EXPECT_EQ(result.status, r.status) << result.err;
    EXPECT_EQ(outside_flash(root), before);
    EXPECT_EQ(scenario::records(root), r.records);
    std::istringstream words(r.files + " etc/files etc/passwd=root etc/version");
    std::set<std::string> files{std::istream_iterator<std::string>(words), {}};
    std::string expected;
    for (const std::string& word : files) expected += (expected.empty() ? "" : " ") + word;
    EXPECT_EQ(scenario::files(root), expected);
}

// Packages made to cost far more than their size, each run with 64 MB of address space beyond the test's own and
// ended by its bounds, unsigned ones before their signature is reached: 15,000 entries of 3 KiB deep names (more than
// a files list holds); more archive entries than a package may have (the bound lowered to 16), refused with nothing
// left behind, and as many as it may have, installed.
TEST(StreamInstallTest, HostilePackagesStaySmall) {
    const std::string deep = [] {
        std::string path;
        while (path.size() < 3000) path += "d/";
        return path;
    }();
    const auto package = [](std::size_t entries, const std::string& prefix, int level = 0) {
        qpk::package_contents c = line::contents("hello-6.48.1");
        c.files.emplace();
        for (std::size_t i = 0; i < entries; ++i) c.files->push_back(qpk::regular_file(prefix + std::to_string(i), ""));
        return line::file(c, level);
    };
    const struct {
        std::string file;
        std::uint32_t entry_limit;  // 0: the program's own
        std::string screen, left;
    } rows[] = {
        {package(15000, deep), 0, broken, ""},
        {package(17, "f", 2), 16, broken, ""},
        {package(16, "f", 2), 16, done("hello-6.48.1"),
         "f0= f10= f11= f12= f13= f14= f15= f1= f2= f3= f4= f5= f6= f7= f8= f9= "},
    };
    for (const auto& row : rows) {
        temp_root root;
        root.write_file("/in.qpk", row.file);
        const run_result r = run_limited(root.path(), [&] {
            set_archive_entry_limit_for_testing(row.entry_limit);
            const int fd = ::open("/in.qpk", O_RDONLY);
            if (fd < 0 || ::dup2(fd, 0) < 0) return 125;
            return call_installer_main({"-"});
        }, 64);
        EXPECT_EQ(scenario::screen(r.out), row.screen) << r.err;
        EXPECT_EQ(r.status, row.screen == broken ? 1 : 0);
        EXPECT_EQ(scenario::files(root), row.left + "in.qpk");
    }
}

// "--audit" after real installations: the digest list written while the files were extracted catches a changed byte
// and a changed mode (the mode as installed: set-id bits dropped, owner-only where the package gives none); a file that
// no package lists in a directory of package files is reported, the installer's own and staged files are not; a record
// without the digest list is checked for presence, type and mode only. An upgrade writes a new list, a version without
// files drops the old one, a second-kind package writes none.
TEST(StreamInstallTest, Audit) {
    using qpk::regular_file;
    const std::string full = hello_files({regular_file("bin/hello", "run", 04755), regular_file("etc/hello", "config"),
                                          regular_file("etc/secret", "s", 0), regular_file("top", "t")});
    const auto chmod = [](mode_t mode, const char* path) {
        return [=](const temp_root& root) { ::chmod(root.host(path).c_str(), mode); };
    };
    const auto write = [](const char* path, const char* content) {
        return [=](const temp_root& root) { root.write_file(path, content); };
    };
    const std::string mode = "{\"findings\":[{\"package\":\"hello\",\"path\":\"/flash/bin/hello\",\"finding\":\"changed "
        "mode\",\"mode\":\"0700\",\"installed_mode\":\"0755\"}]}\n";
    const struct {
        const char* what;
        std::vector<std::string> installs;
        std::function<void(const temp_root&)> change;
        std::vector<std::string> args;
        std::string out;
        int status;
        bool digests = true;
    } rows[] = {
        {"a clean root", {full}, [](const temp_root&) {}, {"--audit"}, "", 0},
        {"a clean root, as JSON", {full}, [](const temp_root&) {}, {"--json", "--audit", "hello"}, "{\"findings\":[]}\n", 0},
        {"a changed byte", {full}, write("/flash/etc/hello", "cOnfig"), {"--audit", "-q"},
         "hello: changed content /flash/etc/hello\n", 1},
        {"a changed mode", {full}, chmod(0700, "/flash/bin/hello"), {"--audit", "hello"},
         "hello: changed mode 0700 /flash/bin/hello\n", 1},
        {"a changed mode, as JSON", {full}, chmod(0700, "/flash/bin/hello"), {"--audit", "--json"}, mode, 1},
        {"a missing file", {full}, [](const temp_root& root) { ::unlink(root.host("/flash/top").c_str()); },
         {"--audit"}, "hello: missing /flash/top\n", 1},
        {"extra files",
         {full},
         [](const temp_root& root) {
             for (const char* path : {"/flash/etc/extra", "/flash/stray", "/flash/etc/tmpAb12Cd", "/flash/etc/sub/x",
                                      "/flash/bootimage", "/flash/var/pdb/y"})
                 root.write_file(path, "");
         },
         {"--audit", "hello"}, "no package lists /flash/stray\nno package lists /flash/etc/extra\n", 1},
        {"a record without the digest list",
         {full},
         [](const temp_root& root) {
             ::unlink(root.host("/flash/var/pdb/hello/digests").c_str());
             root.write_file("/flash/etc/hello", "cOnfig");
             ::chmod(root.host("/flash/etc/secret").c_str(), 0644);
             ::chmod(root.host("/flash/bin/hello").c_str(), 04755);
         },
         {"--audit"}, "hello: changed mode 4755 /flash/bin/hello\n", 1, false},
        {"an upgrade", {full, line::file("hello-6.49 /bin/hello")}, write("/flash/etc/hello", "left"), {"--audit"}, "", 0},
        {"a version without files", {full, line::file("hello-6.49")}, [](const temp_root&) {}, {"--audit"}, "", 0, false},
        {"a second-kind package", {line::file("hello-6.48 second-kind /bin/hello")}, write("/flash/bin/hello", "x"),
         {"--audit"}, "", 0, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_root root;
        for (const std::string& install : r.installs) EXPECT_EQ(scenario::run(root, {in(install, {"-q"})}).status, 0);
        r.change(root);
        std::vector<std::string> args = {"-r", root.path()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const run_result audit = run_installer(args);
        EXPECT_EQ(audit.out + audit.err, r.out);
        EXPECT_EQ(audit.status, r.status);
        EXPECT_EQ(root.exists("/flash/var/pdb/hello/digests"), r.digests);
    }
}
