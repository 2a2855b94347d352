#include "store/installing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "platform/hardware.h"
#include "qpk/version_text.h"
#include "resolve/version.h"
#include "store/database.h"
#include "store/package_format.h"
#include "store/repository.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_maker.h"

namespace {

using files_list = std::vector<std::pair<std::string, std::string>>;
using qpk::regular_file;

const std::string pdb = "/flash/var/pdb/";
const std::string version_line = std::to_string(make_version(6, 48, 'f', 1)) + " 1700000000\n";

struct scenario {
    std::string title = "";
    maker::spec package = {};
    bool install = true;
    files_list before = {};                                   // the root's files before the run
    std::function<void(const temp_root&)> prepare = nullptr;  // what files cannot say
    bool small_disks = false;                                 // /flash and /ram on tmpfs of 64 KiB each
    bool disabled = false;                                    // the planner's choices for the record
    bool member = false;                                      // of the bundle velnor-6.48.1
    const char* bootimage = nullptr;
    std::uint32_t pvr = 0;
    std::size_t cut = 0;                // bytes cut off the end of the package
    std::string uninstall_before = "";  // installed records uninstalled in the same run
    std::string uninstall_after = "";
    bool reload_and_uninstall = false;  // a later run uninstalls what this one installed
    std::string outcome = "";
    std::vector<std::string> after = {};  // every file of the root afterwards
};

std::string installed(const std::string& files, const std::string& name = "hello-6.48.1") {
    return "installing " + name + "\ninstalled " + name + "\nfiles" + files + "\n";
}

std::string refused(const std::string& staged, const std::string& name = "hello-6.48.1") {
    return "installing " + name + "\nERROR: installation of " + name + " failed: broken package\nstaged" + staged +
           "\n";
}

// The record directory of a plain package, as its meta files say.
std::vector<std::string> record_of(const std::string& name, const std::string& files,
                                   const std::string& version = version_line) {
    const std::string d = pdb + name + "/";
    return {d + "deps = ", d + "files = " + files, d + "version = " + version};
}

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The first progress prefix that the console showed.
std::string progress_prefix(const std::string& console) {
    std::size_t start = console.find("installing");
    if (start == std::string::npos) return "";
    return console.substr(start, console.find(" [", start) - start) + "\n";
}

// Installs the scenario's package in a child chrooted into root, the way the
// planner does, and reports what happened.
std::string run_scenario(const temp_root& root, const scenario& s, const std::string& bytes) {
    auto body = [&] {
        captured_context t;
        platform::fake_hardware hw;
        hw.pvr = s.pvr;
        platform::set_hardware(&hw);
        if (s.bootimage) ::setenv("bootimage", s.bootimage, 1);
        load_repository(t.ctx, false, "powerpc");
        file_manifest m;
        auto uninstall = [&](const std::string& name) {
            if (package_record* old = find_package(t.ctx, name)) uninstall_files(t.ctx, *old, m);
        };
        uninstall(s.uninstall_before);
        bool ok = true;
        std::string out;
        auto record = new_package_record("");
        if (s.install) {
            std::istringstream in(bytes);
            package_istream stream(in, true);
            add_wanted_types(stream, install_wanted_types);
            stream.next_part();
            read_description(*record, stream);
            record->disabled = s.disabled;
            if (s.member) record->bundle_reference = {"velnor", record->version, record->version, 0};
            ok = install_package(t.ctx, *record, m, stream);
        }
        uninstall(s.uninstall_after);
        out += progress_prefix(t.all());
        for (const std::string& message : t.ctx.messages) out += message + "\n";
        if (ok) {
            apply_manifest(m, false);
            if (record->image) write_host_file(record_directory(*record) + "image", bytes);
            if (s.install) out += "files";
            for (const std::string& file : record->files) {
                char mode[8];
                std::snprintf(mode, sizeof mode, ":%o", mode_of("/flash" + file));
                out += " " + file + mode;
            }
            if (s.install) out += "\n";
        } else {
            out += "staged";
            for (const auto& [destination, entry] : m.entries) out += " " + destination;
            out += "\n";
            cancel_manifest(m);
        }
        if (s.reload_and_uninstall) {
            captured_context later;
            load_repository(later.ctx, false, "powerpc");
            file_manifest again;
            if (package_record* loaded = find_package(later.ctx, record->name))
                uninstall_files(later.ctx, *loaded, again);
            apply_manifest(again, false);
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    };
    auto small_disks = [&] {
        return mount_tmpfs(root.host("/flash"), "64k") && mount_tmpfs(root.host("/ram"), "64k") &&
               ::mkdir(root.host("/flash/var").c_str(), 0755) == 0 && ::mkdir(root.host(pdb).c_str(), 0755) == 0;
    };
    run_result r =
        s.small_disks ? run_in_private_mounts(root.path(), small_disks, body) : run_in_child(root.path(), body);
    if (r.status == 77) return "skipped: " + r.err;
    EXPECT_EQ(r.err, "") << s.title;
    return r.out;
}

// Every file and link of the root; directories are implied by them.
std::vector<std::string> files_of(const temp_root& root) {
    std::vector<std::string> files;
    for (const std::string& line : snapshot(root.path()))
        if (line.back() != '/') files.push_back(line);
    return files;
}

TEST(InstallingTest, Scenarios) {
    const maker::spec hello{.files = {regular_file("etc/hello", "config\n")}};
    const maker::spec boot{.name = "system", .flags = header_flag_boot, .files = {regular_file("lib/kernel", "k")}};
    const files_list old_a = {{pdb + "a/version", "1 1\n"},
                              {pdb + "a/files", "etc/shared\netc/a\n../../outside\n"},
                              {"/flash/etc/shared", "a's"},
                              {"/flash/etc/a", "a"},
                              {"/outside", "kept"}};
    const files_list old_b = {{pdb + "b/version", "1 1\n"}, {pdb + "b/files", "etc/shared\n"}};
    const files_list old_hello = {{pdb + "hello/version", "1 1\n"},
                                  {pdb + "hello/files", "etc/gone\netc/hello\n"},
                                  {pdb + "hello/provides", "p 0 0 0\n"},
                                  {pdb + "hello/conflicts", "c 0 0\n"},
                                  {"/flash/etc/gone", "old"},
                                  {"/flash/etc/hello", "old"}};
    const std::vector<std::string> hello_files = {"/flash/etc/hello = config\n"};
    const std::string hello_list = " /etc/hello:644";
    const std::string bad_level = refused(" /flash/etc/hello");
    const std::string full_disk =
        "installing hello-6.48.1\nERROR: installation of hello-6.48.1 failed: disk is too small\nstaged /flash/big\n";

    std::vector<scenario> cases = {
        {.title = "files, modes and file lists",
         .package = {.files = {regular_file("etc/hello", "config\n"), regular_file("/bin/hello", "run", 04755),
                               qpk::directory_entry("var/hello"), qpk::symlink_entry("etc/link", "hello")}},
         .outcome = installed(" /bin/hello:755 /etc/hello:644"),
         .after = std::vector<std::string>{"/flash/bin/hello = run"} + hello_files +
                  record_of("hello", "bin/hello\netc/hello\n")},
        {.title = "disabled",
         .package = hello,
         .disabled = true,
         .outcome =
             "installing  (disabled) hello-6.48.1\ninstalled (disabled) hello-6.48.1\nfiles /x/hello/etc/hello:644\n",
         .after = record_of("hello", "x/hello/etc/hello\n") +
                  std::vector<std::string>{pdb + "hello/disabled = auto\n", "/flash/x/hello/etc/hello = config\n"}},
        {.title = "bundle member: named by its bundle, followed by the next member",
         .package = {.files = hello.files, .after_signature = {{part_type::package_header, "next"}}},
         .disabled = true,
         .member = true,
         .outcome = "installing velnor-6.48.1\nfiles /x/hello/etc/hello:644\n",
         .after = record_of("hello", "x/hello/etc/hello\n") +
                  std::vector<std::string>{pdb + "hello/bundle = velnor\n", pdb + "hello/disabled = auto\n",
                                           "/flash/x/hello/etc/hello = config\n"}},
        {.title = "boot package",
         .package = boot,
         .outcome = installed(" /lib/kernel:644", "system-6.48.1"),
         .after = std::vector<std::string>{"/flash/UPGRADED = ", "/flash/lib/kernel = k"} +
                  record_of("system", "lib/kernel\n")},
        {.title = "boot package while a boot image is requested",
         .package = boot,
         .bootimage = "",
         .outcome = installed("", "system-6.48.1"),
         .after = std::vector<std::string>{"/flash/UPGRADED = "} + record_of("system", "")},
        {.title = "processor classes against the board variant",
         .package = {.files = {regular_file("a", "0"), regular_file("b", "2", 0644, 2),
                               regular_file("c", "4", 0644, 4)}},
         .pvr = 0x80211000,
         .outcome = installed(" /a:644 /c:644"),
         .after = std::vector<std::string>{"/flash/a = 0", "/flash/c = 4"} + record_of("hello", "a\nc\n")},
        {.title = "second kind: no record directory",
         .package = {.files = hello.files, .second_kind = true},
         .outcome = installed(hello_list),
         .after = hello_files},
        {.title = "an image package lists its files, and a later run removes them",
         .package = {.files = hello.files, .image = "IMG"},
         .reload_and_uninstall = true,
         .outcome = installed(hello_list)},
        {.title = "branding at level 1",
         .package = {.name = "branding", .version = "7.2", .level = 1},
         .outcome = installed("", "branding-7.2"),
         .after = std::vector<std::string>{"/flash/UPGRADED = "} +
                  record_of("branding", "", std::to_string(make_version(7, 2, 'f', 0)) + " 1700000000\n")},
        {.title = "6.48.1 at level 1", .package = {.files = hello.files, .level = 1}, .outcome = bad_level},
        {.title = "6.48 at level 1 on a secure router",
         .package = {.version = "6.48", .files = hello.files, .level = 1},
         .before = {{"/ram/SECURE", ""}},
         .outcome = refused(" /flash/etc/hello", "hello-6.48"),
         .after = {"/ram/SECURE = "}},
        {.title = "unsigned", .package = {.files = hello.files, .level = 0}, .outcome = bad_level},
        {.title = "allowed parts after the signature",
         .package = {.after_signature = {{part_type::architecture, "powerpc"}, {part_type::dependency_list, ""}}},
         .outcome = installed(""),
         .after = record_of("hello", "")},
        {.title = "a dependency list after the signature",
         .package = {.after_signature = {{part_type::dependency_list, "x"}}},
         .outcome = refused("")},
        {.title = "cut short after the signature",
         .package = {.after_signature = {{part_type::architecture, "powerpc"}}},
         .cut = 2,
         .outcome = refused("")},
        {.title = "cut short inside the image",
         .package = {.image = std::string(10000, 'i')},
         .cut = 5000,
         .outcome = refused("")},
        {.title = "entry name cut short",
         .package = {.archive = qpk::encode_file_entries({regular_file("etc/hello", "config\n")}).substr(0, 35)},
         .outcome = refused("")},
        {.title = "staging place unusable",
         .package = {.files = {regular_file("etc/empty", "")}},
         .prepare =
             [](const temp_root& root) {
                 remove_tree(root.host("/ram"));
                 root.write_file("/ram", "");
             },
         .outcome = "installing hello-6.48.1\nERROR: installation of hello-6.48.1 failed: could not create etc/empty: "
                    "Not a directory\nstaged /flash/etc/empty\n",
         .after = {"/ram = "}},
        {.title = "full disk while writing",
         .package = {.files = {regular_file("big", byte_pattern(100000))}},
         .small_disks = true,
         .outcome = full_disk},
        {.title = "full disk at the flush",
         .package = {.files = {regular_file("big", byte_pattern(65536 + 100))}},
         .small_disks = true,
         .outcome = full_disk},
        {.title = "file data cut short",
         .package = {.archive = qpk::encode_file_entries({regular_file("etc/hello", "config\n")}).substr(0, 40)},
         .outcome = refused(" /flash/etc/hello")},
        {.title = "record directory taken by a file: refused without a message",
         .package = hello,
         .before = {{pdb + "hello", "x"}},
         .outcome = "installing hello-6.48.1\nstaged\n",
         .after = {pdb + "hello = x"}},
        {.title = "uninstall removes exactly its files and record, not those another package lists",
         .install = false,
         .before = old_a + old_b,
         .uninstall_after = "a",
         .outcome = "",
         .after = std::vector<std::string>{"/flash/etc/shared = a's", pdb + "b/files = etc/shared\n",
                                           pdb + "b/version = 1 1\n", "/outside = kept"}},
        {.title = "a file that moved to another package stays",
         .package = {.files = {regular_file("etc/shared", "new")}},
         .before = old_a,
         .uninstall_after = "a",
         .outcome = installed(" /etc/shared:644"),
         .after = std::vector<std::string>{"/flash/etc/shared = new"} + record_of("hello", "etc/shared\n") +
                  std::vector<std::string>{"/outside = kept"}},
        {.title = "a replaced version leaves no provisions or conflicts",
         .package = hello,
         .before = old_hello,
         .uninstall_before = "hello",
         .outcome = installed(hello_list),
         .after = hello_files + record_of("hello", "etc/hello\n")},
    };
    // The boot image goes with the boot package unless something else links to it.
    const std::function<void(const temp_root&)> link_boot_image = [](const temp_root& root) {
        ::link(root.host("/flash/bootimage").c_str(), root.host("/flash/boot/kernel").c_str());
    };
    for (bool linked : {false, true}) {
        files_list before = {{pdb + "system/image", maker::package({.name = "system", .flags = header_flag_boot})},
                             {"/flash/bootimage", "boot"}};
        cases.push_back({.title = "boot image",
                         .install = false,
                         .before = before,
                         .prepare = linked ? link_boot_image : nullptr,
                         .uninstall_after = "system",
                         .outcome = "",
                         .after = linked
                                      ? std::vector<std::string>{"/flash/boot/kernel = boot", "/flash/bootimage = boot"}
                                      : std::vector<std::string>{}});
    }
    // Names that would stage a file outside /flash, on /flash itself, or one
    // that the file list or the saved manifest could not hold.
    for (const std::string& name :
         {std::string(""), std::string("/"), std::string("."), std::string("etc/"), std::string("../x"),
          std::string("etc/../../x"), std::string("a b"), std::string("a\tb"), std::string("a\nb"), std::string("a\rb"),
          std::string("a\0b", 3), std::string(PATH_MAX, 'a')})
        cases.push_back({.title = "entry " + name.substr(0, 20),
                         .package = {.files = {regular_file("etc/ok", ""), regular_file(name, "x")}},
                         .outcome = refused(" /flash/etc/ok")});
    for (const std::string name : {"", ".", "..", "a/b", "a b", "a\nb"})
        cases.push_back({.title = "package " + name,
                         .package = {.name = name, .files = hello.files},
                         .outcome = refused("", name + "-6.48.1")});

    for (const scenario& s : cases) {
        temp_root root;
        for (const auto& [path, content] : s.before) root.write_file(path, content);
        if (s.prepare) s.prepare(root);
        std::string bytes = s.install ? maker::package(s.package) : "";
        bytes.resize(bytes.size() - s.cut);
        std::string outcome = run_scenario(root, s, bytes);
        if (outcome.starts_with("skipped")) {
            std::printf("%s: %s", s.title.c_str(), outcome.c_str());
            continue;
        }
        EXPECT_EQ(outcome, s.outcome) << s.title;
        std::vector<std::string> expected = s.after;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files_of(root), expected) << s.title;
    }
}

TEST(InstallingTest, RequiredSignatureLevel) {
    const struct {
        const char* name;
        const char* version;
        bool secure;
        int level;
    } cases[] = {
        {"hello", "5.26", false, 1},     {"hello", "6.46.8", false, 1},   {"hello", "6.46.9", false, 2},
        {"hello", "6.46", true, 2},      {"hello", "6.47", false, 1},     {"hello", "6.48", false, 1},
        {"hello", "6.48.1", false, 2},   {"hello", "6.49", false, 2},     {"hello", "7.0", false, 1},
        {"hello", "7.1beta3", false, 1}, {"hello", "7.1beta4", false, 2}, {"hello", "7.1", false, 2},
        {"branding", "7.2", false, 1},   {"branding", "6.40", true, 2},
    };
    temp_root root;
    for (const auto& c : cases) {
        std::uint32_t version = 0;
        ASSERT_TRUE(qpk::parse_version_text(c.version, version));
        if (c.secure) root.write_file("/ram/SECURE", "");
        run_result r = run_in_child(root.path(), [&] { return required_signature_level(c.name, version); });
        EXPECT_EQ(r.status, c.level) << c.name << " " << c.version << (c.secure ? " secure" : "");
        ::unlink(root.host("/ram/SECURE").c_str());
    }
}

}  // namespace
