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

TEST(StreamInstallTest, Scenarios) {
    const std::string h = "hello-6.48.1";
    const std::string off = "> installing  (disabled) hello-6.48.1\ninstalled (disabled) hello-6.48.1\n";
    const std::string cut_after_signature = hello_after({{part_type::architecture, "i386"}});
    const std::string wrong_arch = "ERROR: can not install hello-6.48: it is not made for i386, but for mips\n";
    const std::string again = "WARNING: omitting package hello-6.48.1: it is already installed\n";
    std::vector<scenario::row> rows = {
        {"a package", {}, {in(hello)}, done(h), 0, h, "bin/hello=hello-6.48.1"},
        {"files, modes and file lists", {},
         {in(hello_files({qpk::regular_file("etc/hello", "config"), qpk::regular_file("/bin/hello", "run", 04755),
                          qpk::directory_entry("var/hello"), qpk::symlink_entry("etc/link", "hello")}))},
         done(h), 0, h, "bin/hello=run:755 etc/hello=config"},
        {"names beside the installer's own files", {},
         {in(hello_files({qpk::regular_file("var/pdbx", "1"), qpk::regular_file("var/x/pdb/y", "2"),
                          qpk::regular_file("etc/UPGRADED", "3"), qpk::regular_file("bootimage.old", "4")}))},
         done(h), 0, h, "bootimage.old=4 etc/UPGRADED=3 var/pdbx=1 var/x/pdb/y=2"},
        {"processor classes", {},
         {in(hello_files({qpk::regular_file("a", "0"), qpk::regular_file("b", "2", 0644, 2),
                          qpk::regular_file("c", "4", 0644, 4)}))},
         done(h), 0, h, "a=0"},
        {"the same version again", {"hello-6.48.1 /bin/hello"}, {in(hello)}, again, 0, h, "bin/hello=hello-6.48.1",
         again.c_str()},
        {"the same version counted as done", {"hello-6.48.1 /bin/hello"}, {in(hello, {"--reinstall"})},
         "\nResuming upgrade...\ninstalled hello-6.48.1\n", 0, h, "bin/hello=hello-6.48.1"},
        {"an image package keeps its file; an upgrade replaces files", {},
         {in(line::file("hello-6.48 %i /bin/hello /etc/old")), in(line::file("hello-6.49 %i /bin/hello"))},
         done("hello-6.49"), 0, "hello-6.49", "bin/hello=hello-6.49 pdb/hello/image"},
        {"the boot package", {}, {in(line::file("system-6.48 #1 /lib/kernel"))}, done("system-6.48"), 0,
         "system-6.48", "UPGRADED=:600 lib/kernel=system-6.48"},
        {"the boot package with a boot image requested", {},
         {in(line::file("system-6.48 #1 %kernel /bin/sh"), {}, {"bootimage="})}, done("system-6.48"), 0,
         "system-6.48", "UPGRADED=:600 bootimage pdb/system/image->/flash/bootimage"},
        {"another architecture", {}, {in(line::file("hello-6.48 arch=mips /bin/hello"))}, wrong_arch, 1, "", "",
         wrong_arch.c_str()},
        {"no package at all", {}, {in("junk")}, "", 1, "", ""},
        {"the copy of standard input has a name of its own", {}, {{{"-"}, hello, {{"/flash/var/pdb/image/x", ""}}}},
         "ERROR: can not uninstall or disable all packages\n" + done(h), 0, "hello-6.48.1 image-0.0 do=uninstall",
         "bin/hello=hello-6.48.1 pdb/image/x="},
        {"and one a killed run left is removed", {}, {{{"-"}, hello, {{"/flash/var/pdb/.imagetmpAb12Cd", "x"}}}},
         done(h), 0, h, "bin/hello=hello-6.48.1"},
        {"a saved manifest waits", {}, {{{"-"}, hello, {{"/ram/MANIFEST", "U /flash/x\n"}}}},
         "ERROR: changes saved by an earlier run wait for --commit or --cancel\n", 1, "", "ram/MANIFEST"},
        {"the record directory taken by a file", {}, {{{"-"}, hello, {{"/flash/var/pdb/hello", "x"}}}},
         installing, 1, "", "pdb/hello=x"},
        {"an enabled package conflicts with it: installed disabled", {"ntp-6.48 !hello"}, {in(hello)}, off, 0,
         "hello-6.48.1 off ntp-6.48", "x/hello/bin/hello=hello-6.48.1"},
        {"its own conflict disables the installed package", {"hello-6.48.1 /bin/hello"},
         {in(line::file("ntp-6.48 !hello"))}, done("ntp-6.48"), 0, "hello-6.48.1 off ntp-6.48",
         "bin/hello=hello-6.48.1"},
        {"a second-kind package keeps the installed record", {"hello-6.48.1 /bin/hello"},
         {in(line::file("hello-6.49 second-kind /bin/extra"))}, done("hello-6.49"), 0, h,
         "bin/extra=hello-6.49 bin/hello=hello-6.48.1"},
        {"a new version needing what only the old one provided", {"ntp-6.48", "hello-6.48 +greeting"},
         {in(line::file("hello-6.49 >greeting /bin/hello"))},
         done("hello-6.49") + "ERROR: can not install hello-6.49: greeting is not installed, but is required\n", 1,
         "hello-6.48 ntp-6.48", ""},
        {"a bundle, its default-disabled first member included", {},
         {in(line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp off} {ppp-6.48 /bin/ppp}"))}, done("velnor-6.48"), 0,
         "dhcp-6.48 off ^velnor ppp-6.48 ^velnor velnor-6.48",
         "bin/ppp=ppp-6.48 pdb/velnor/image x/dhcp/bin/dhcp=dhcp-6.48"},
        {"a bundle upgrade drops a member", {"velnor-6.48 %v {dhcp-6.48} {ppp-6.48}"},
         {in(line::file("velnor-6.49 %v {dhcp-6.49 /bin/dhcp}"))}, done("velnor-6.49"), 0,
         "dhcp-6.49 ^velnor velnor-6.49", "bin/dhcp=dhcp-6.49 pdb/velnor/image"},
        {"a bundle an enabled package conflicts with", {"ntp-6.48 !velnor"}, {in(line::file("velnor-6.48 {ppp-6.48}"))},
         "ERROR: can not install velnor-6.48: it conflicts with ntp-6.48\n", 2, "ntp-6.48", ""},
        {"a member with an unmet dependency", {}, {in(line::file("velnor-6.48 {dhcp-6.48 >kernel}"))}, "", 2, "", ""},
        {"a bundle without members", {}, {in(line::file("velnor-6.48 bundle"))}, "", 3, "", ""},
        {"clean-up",
         {"system-6.48", "vigil-6.48", "hello-6.48 >system:3.22 /bin/hello", "ntp-6.48 >system:3.21 /bin/ntp",
          "velnor-6.48 %v {dhcp-6.48 >system:3.22}", "old-6.48 {inner-6.48}"},
         {{{"--cleanup"}}}, "", 0, "dhcp-6.48 ^velnor hello-6.48 system-6.48 velnor-6.48 vigil-6.48",
         "bin/hello=hello-6.48 pdb/velnor/image"},
        {"branding needs level 1 only", {}, {in(line::file("branding-7.2", 1))}, done("branding-7.2"), 0,
         "branding-7.2", "UPGRADED=:600"},
        {"6.48.1 at level 1", {}, {in(line::file("hello-6.48.1 /bin/hello", 1))}, broken, 1, "", ""},
        {"secure mode", {}, {{{"-"}, line::file("hello-6.48 /bin/hello", 1), {{"/ram/SECURE", ""}}}},
         broken_as("hello-6.48"), 1, "", "ram/SECURE="},
        {"unsigned", {}, {in(line::file("hello-6.48.1 /bin/hello", 0))}, broken, 1, "", ""},
        {"6.48 unsigned", {}, {in(line::file("hello-6.48", 0))}, broken_as("hello-6.48"), 1, "", ""},
        {"6.46.9 at level 2", {}, {in(line::file("hello-6.46.9", 2))}, done("hello-6.46.9"), 0, "hello-6.46.9", ""},
        {"allowed after the signature", {},
         {in(hello_after({{part_type::architecture, "i386"}, {part_type::dependency_list, ""}}))}, done(h), 0, h, ""},
        {"dependencies after the signature", {}, {in(hello_after({{part_type::dependency_list, "x"}}))}, broken, 1,
         "", ""},
        {"more bytes after its declared end", {}, {in(hello + std::string(70000, '\0'))}, broken, 1, "", ""},
        {"its signature part claiming past the declared end", {}, {in(declaring(hello, hello.size() - 20))}, broken, 1,
         "", ""},
        {"cut after the signature", {}, {in(cut_after_signature.substr(0, cut_after_signature.size() - 2))}, broken,
         1, "", ""},
        {"cut in the image", {}, {in(line::file("hello-6.48.1 %" + std::string(10000, 'i')).substr(0, 5000))},
         broken, 1, "", ""},
    };
    // A list of more than a mebibyte is read back whole: the uninstall removes every file.
    std::vector<qpk::file_item> many;
    for (int i = 0; i < 6000; ++i) many.push_back(qpk::regular_file(std::string(200, 'f') + std::to_string(i), ""));
    rows.push_back({"a long files list", {"system-6.48"}, {in(hello_files(many)), {{"--cleanup"}}}, "", 0,
                    "system-6.48", ""});
    rows.push_back({"a files list too long to read keeps its record",
                    {"hello-6.48 /bin/hello do=uninstall", "system-6.48"},
                    {{{"--cleanup"}, "", {{"/flash/var/pdb/hello/files", std::string(max_file_list_size + 1, 'a')}}}},
                    "", 0, "hello-6.48 system-6.48", "bin/hello=hello-6.48"});
    for (std::size_t cut : {35, 40}) {
        qpk::package_contents c = line::contents("hello-6.48.1");
        c.files.emplace();
        std::vector<qpk::raw_part> parts = qpk::package_parts(c);
        const std::string archive = qpk::encode_file_entries({qpk::regular_file("etc/hello", "config")});
        for (qpk::raw_part& part : parts)
            if (part.type == part_type::file_archive) part.data = qpk::zlib_compress(archive.substr(0, cut));
        std::string file = qpk::encode_container(parts, false), error;
        qpk::sign_parts(file, samples::development_signer(), error);
        rows.push_back({"an archive cut short", {}, {in(file)}, broken, 1, "", ""});
    }
    for (const std::string& name : {""s, "/"s, "."s, "etc/"s, "../x"s, "etc/../../x"s, "a b"s, "a\tb"s, "a\nb"s,
                                    "a\rb"s, "a\0b"s, std::string(PATH_MAX, 'a'),
                                    "etc/" + std::string(NAME_MAX + 1, 'a'), "var/pdb/ntp/version"s, "/var/pdb/x"s,
                                    "var/pdb"s, "bootimage"s, "/postlog"s, "PCKGS_CHANGED"s, "UPGRADED"s})
        rows.push_back({"a file entry named badly", {},
                        {in(hello_files({qpk::regular_file("etc/ok", ""), qpk::regular_file(name, "x")}))}, broken, 1,
                        "", ""});
    for (const std::string name : {"", ".", "..", "a/b", "a\nb", "image"}) {
        qpk::package_contents c = line::contents("hello-6.48.1 /etc/hello");
        c.name = name;
        const std::string shown = printable(name) + "-6.48.1";
        rows.push_back({"a package named badly", {}, {in(line::file(c))},
                        "ERROR: installation of " + shown + " failed: broken package\n", 1, "", ""});
    }
    scenario::check(rows);
}

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
    } rows[] = {
        {"64k", 0, big(100000, 0), too_small, 1, ""},
        {"64k", 0, big(65536 + 100, 0), too_small, 1, ""},
        {"1m", 0, promise, too_small, 1, ""},
        {"128k", 0, big(0, 200000), installing + "installed hello-6.48.1\nERROR: could not write image\n", 1, ""},
        {"256k", 49 * 4096, "", done("hello-6.48") + "ERROR: not enough space for upgrade\n", 28,
         "fill rw/pckg/.download/hello.qpk"},  // 15 blocks of 4 KiB left
    };
    for (const auto& r : rows) {
        temp_root root;
        if (r.input.empty()) root.write_file("/rw/pckg/.download/hello.qpk", line::file("hello-6.48 /bin/hello"));
        const auto args = r.input.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-"};
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

}  // namespace

// Symbolic links already on flash, to the root's /etc: an installation through one is refused before anything of it is
// staged, an uninstall removes nothing behind one, and the stream install makes no copy through one.
TEST(StreamInstallTest, LinksOnFlashAreNeverFollowed) {
    const std::string passwd = line::file("hello-6.48.1 /etc/passwd");
    const struct {
        const char* what;
        std::vector<std::string> installed;
        std::string link;  // made a link to /etc after the packages are laid out
        std::vector<step> steps;
        std::string screen;
        int status;
        std::string records, files;  // the root's own /etc left out
    } rows[] = {
        {"a directory of a file", {}, "/flash/etc", {in(passwd)}, broken, 1, "", "etc->/etc"},
        {"a deeper one", {}, "/flash/etc", {in(line::file("hello-6.48.1 /etc/a/b/c"))}, broken, 1, "", "etc->/etc"},
        {"a file's own path is replaced, not followed", {}, "/flash/etc/passwd", {in(passwd)}, done("hello-6.48.1"), 0,
         "hello-6.48.1", "etc/passwd=hello-6.48.1"},
        {"the record directory", {}, "/flash/var/pdb/hello", {in(hello)}, broken, 1, "hello-0.06", "pdb/hello->/etc"},
        {"the database", {}, "/flash/var/pdb", {in(hello)}, "ERROR: could not open image\n", 255, "",
         "var/pdb->/etc"},
        {"an uninstall through a directory", {"hello-6.48 /etc/passwd do=uninstall", "system-6.48"}, "/flash/etc",
         {{{"--cleanup"}}}, "", 0, "system-6.48", "etc->/etc"},
        {"an uninstall of a linked record: the link goes", {"system-6.48"}, "/flash/var/pdb/hello", {{{"--cleanup"}}},
         "", 0, "system-6.48", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
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
}

// Unsigned packages made to cost far more than their size, each run with 64 MB of address space beyond the test's own
// and ended by its bounds before its signature is reached: 15,000 entries of 3 KiB deep names (more than a files list
// holds).
TEST(StreamInstallTest, HostilePackagesStaySmall) {
    const std::string deep = [] {
        std::string path;
        while (path.size() < 3000) path += "d/";
        return path;
    }();
    const auto package = [](std::size_t entries, const std::string& prefix) {
        qpk::package_contents c = line::contents("hello-6.48.1");
        c.files.emplace();
        for (std::size_t i = 0; i < entries; ++i) c.files->push_back(qpk::regular_file(prefix + std::to_string(i), ""));
        return line::file(c, 0);
    };
    for (const auto& [file, left] : {std::pair{package(15000, deep), ""}}) {
        temp_root root;
        root.write_file("/in.qpk", file);
        const run_result r = run_limited(root.path(), [] {
            const int fd = ::open("/in.qpk", O_RDONLY);
            if (fd < 0 || ::dup2(fd, 0) < 0) return 125;
            return call_installer_main({"-"});
        }, 64);
        EXPECT_EQ(scenario::screen(r.out), broken) << r.err;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(scenario::files(root), std::string("in.qpk") + left);
    }
}
