#include "store/installing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <sstream>

#include "console/printable.h"
#include "platform/hardware.h"
#include "qpk/version_text.h"
#include "store/database.h"
#include "store/package_format.h"
#include "store/repository.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_maker.h"

namespace {

using qpk::regular_file;

struct scenario {
    std::string title = "";
    maker::recipe package = {};
    bool install = true;
    std::vector<std::pair<std::string, std::string>> before = {};  // files of the root
    std::function<void(const temp_root&)> prepare = nullptr;       // what files cannot say
    bool small_disks = false;                                      // /flash and /ram on 64 KiB tmpfs
    bool disabled = false, member = false;                         // the planner's choices
    const char* bootimage = nullptr;
    std::uint32_t pvr = 0;
    std::size_t cut = 0;                                      // bytes cut off the package's end
    std::string uninstall_before = "", uninstall_after = "";  // records of the same run, by name
    bool reload_and_uninstall = false;                        // a later run uninstalls the package
    std::string outcome = "";
    // Every file of the root afterwards: "/flash/" left out, "/flash/var/pdb/"
    // shortened to "pdb/", the content after "=" except for database files.
    std::string after = "";
};

const std::string pdb = "/flash/var/pdb/";
const std::string hello_record = " pdb/hello/deps pdb/hello/files pdb/hello/version";

std::string installed(const std::string& files, const std::string& name = "hello-6.48.1") {
    return "installing " + name + "\ninstalled " + name + "\nfiles" + files + "\n";
}

std::string refused(const std::string& staged, const std::string& name = "hello-6.48.1",
                    const std::string& why = "broken package") {
    return "installing " + name + "\nERROR: installation of " + name + " failed: " + why + "\nstaged" + staged + "\n";
}

std::string after_state(const temp_root& root) {
    std::string text;
    for (std::string line : snapshot(root.path())) {
        if (line.back() == '/') continue;
        bool database = line.starts_with(pdb);
        if (database) line = "pdb/" + line.substr(pdb.size(), line.find(" = ") - pdb.size());
        if (line.starts_with("/flash/")) line.erase(0, 7);
        if (!database) line.replace(line.find(" = "), 3, "=");
        text += " " + line;
    }
    return text;
}

// Installs the scenario's package in a child chrooted into the root, the
// way the planner does, and reports what it showed, listed and staged.
std::string run_scenario(const temp_root& root, const scenario& s, const std::string& bytes) {
    auto body = [&] {
        captured_context t;
        platform::fake_hardware hw;
        hw.pvr = s.pvr;
        platform::set_hardware(&hw);
        if (s.bootimage) ::setenv("bootimage", s.bootimage, 1);
        load_repository(t.ctx, false, "powerpc");
        file_manifest m;
        auto uninstall = [&](const std::string& names) {
            std::istringstream list(names);
            for (std::string name; list >> name;) uninstall_files(t.ctx, *find_package(t.ctx, name), m);
        };
        uninstall(s.uninstall_before);
        bool ok = true;
        auto owned = new_package_record("");
        package_record* record = owned.get();
        if (s.install) {
            std::istringstream in(bytes);
            package_istream stream(in, true);
            add_wanted_types(stream, install_wanted_types);
            stream.next_part();
            read_description(*record, stream);
            record->disabled = s.disabled;
            if (s.member) record->bundle_reference = {"velnor", record->version, record->version, 0};
            ok = install_package(t.ctx, *record, m, stream);
            // The package list owns an installed record, as after a real installation.
            if (ok) t.ctx.packages.push_back(std::move(owned));
        }
        uninstall(s.uninstall_after);
        std::string console = t.all(), out;
        std::size_t progress = console.find("installing");
        if (s.install) out = console.substr(progress, console.find(" [") - progress) + "\n";
        for (const std::string& message : t.ctx.messages) out += message + "\n";
        if (ok) {
            apply_manifest(m, false);
            out += s.install ? "files" : "";
            char mode[8];
            for (const std::string& file : record->files)
                out += " " + file + (std::snprintf(mode, sizeof mode, ":%o", mode_of("/flash" + file)), mode);
        } else {
            out += "staged";
            for (const auto& [destination, entry] : m.entries) out += " " + destination;
            cancel_manifest(m);
        }
        if (s.install) out += "\n";
        if (ok && record->image) write_host_file(record_directory(*record) + "image", bytes);
        if (s.reload_and_uninstall) {
            installer_context later;
            load_repository(later, true, "powerpc");
            file_manifest again;
            uninstall_files(later, *find_package(later, record->name), again);
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

TEST(InstallingTest, Scenarios) {
    const maker::recipe hello{.files = {regular_file("etc/hello", "config")}};
    const maker::recipe boot{.name = "system", .flags = header_flag_boot, .files = {regular_file("lib/kernel", "k")}};
    const std::vector<std::pair<std::string, std::string>> old_a = {
        {pdb + "a/version", "1 1\n"}, {pdb + "a/files", "etc/shared\netc/a\n../../outside\n"},
        {pdb + "b/version", "1 1\n"}, {pdb + "b/files", "etc/shared\n"},
        {"/flash/etc/shared", "old"}, {"/flash/etc/a", "a"},
        {"/outside", "kept"}};
    const std::vector<std::pair<std::string, std::string>> old_hello = {{pdb + "hello/version", "1 1\n"},
                                                                        {pdb + "hello/files", "etc/gone\netc/hello\n"},
                                                                        {pdb + "hello/provides", "p 0 0 0\n"},
                                                                        {pdb + "hello/conflicts", "c 0 0\n"},
                                                                        {"/flash/etc/gone", "old"}};
    const std::function<void(const temp_root&)> second_link = [](const temp_root& root) {
        ::link(root.host("/flash/bootimage").c_str(), root.host("/flash/boot/kernel").c_str());
    };
    const std::string boot_image = maker::package({.name = "system", .flags = header_flag_boot});
    const std::string disabled_hello =
        " pdb/hello/deps pdb/hello/disabled pdb/hello/files pdb/hello/version x/hello/etc/hello=config";
    const std::string full = refused(" /flash/big", "hello-6.48.1", "disk is too small");
    // clang-format off
    std::vector<scenario> cases = {
        {.title = "files, modes and file lists",
         .package = {.files = {regular_file("etc/hello", "config"), regular_file("/bin/hello", "run", 04755),
                               qpk::directory_entry("var/hello"), qpk::symlink_entry("etc/link", "hello")}},
         .outcome = installed(" /bin/hello:755 /etc/hello:644"), .after = " bin/hello=run etc/hello=config" + hello_record},
        {.title = "disabled", .package = hello, .disabled = true,
         .outcome = "installing  (disabled) hello-6.48.1\ninstalled (disabled) hello-6.48.1\nfiles /x/hello/etc/hello:644\n",
         .after = disabled_hello},
        {.title = "bundle member", .package = {.files = hello.files, .after_signature = {{part_type::package_header, "next"}}},
         .disabled = true, .member = true, .outcome = "installing velnor-6.48.1\nfiles /x/hello/etc/hello:644\n",
         .after = " pdb/hello/bundle" + disabled_hello},
        {.title = "boot package", .package = boot, .outcome = installed(" /lib/kernel:644", "system-6.48.1"),
         .after = " UPGRADED= lib/kernel=k pdb/system/deps pdb/system/files pdb/system/version"},
        {.title = "boot image requested", .package = boot, .bootimage = "", .outcome = installed("", "system-6.48.1"),
         .after = " UPGRADED= pdb/system/deps pdb/system/files pdb/system/version"},
        {.title = "processor classes",
         .package = {.files = {regular_file("a", "0"), regular_file("b", "2", 0644, 2), regular_file("c", "4", 0644, 4)}},
         .pvr = 0x80211000, .outcome = installed(" /a:644 /c:644"), .after = " a=0 c=4" + hello_record},
        {.title = "second kind", .package = {.files = hello.files, .second_kind = true},
         .outcome = installed(" /etc/hello:644"), .after = " etc/hello=config"},
        {.title = "image package", .package = {.files = hello.files, .image = "IMG"}, .reload_and_uninstall = true,
         .outcome = installed(" /etc/hello:644")},
        {.title = "branding", .package = {.name = "branding", .version = "7.2", .level = 1},
         .outcome = installed("", "branding-7.2"),
         .after = " UPGRADED= pdb/branding/deps pdb/branding/files pdb/branding/version"},
        {.title = "6.48.1 at level 1", .package = {.files = hello.files, .level = 1}, .outcome = refused(" /flash/etc/hello")},
        {.title = "secure", .package = {.version = "6.48", .files = hello.files, .level = 1},
         .before = {{"/ram/SECURE", ""}}, .outcome = refused(" /flash/etc/hello", "hello-6.48"), .after = " /ram/SECURE="},
        {.title = "unsigned", .package = {.files = hello.files, .level = 0}, .outcome = refused(" /flash/etc/hello")},
        {.title = "allowed after the signature",
         .package = {.after_signature = {{part_type::architecture, "powerpc"}, {part_type::dependency_list, ""}}},
         .outcome = installed(""), .after = hello_record},
        {.title = "dependencies after the signature", .package = {.after_signature = {{part_type::dependency_list, "x"}}},
         .outcome = refused("")},
        {.title = "cut after the signature", .package = {.after_signature = {{part_type::architecture, "powerpc"}}},
         .cut = 2, .outcome = refused("")},
        {.title = "cut in the image", .package = {.image = std::string(10000, 'i')}, .cut = 5000, .outcome = refused("")},
        {.title = "cut in a name", .package = {.archive = qpk::encode_file_entries(hello.files).substr(0, 35)},
         .outcome = refused("")},
        {.title = "cut in the data", .package = {.archive = qpk::encode_file_entries(hello.files).substr(0, 40)},
         .outcome = refused(" /flash/etc/hello")},
        {.title = "directory taken", .package = hello, .before = {{pdb + "hello", "x"}},
         .outcome = "installing hello-6.48.1\nstaged\n", .after = " pdb/hello"},
        {.title = "no staging place", .package = {.files = {regular_file("etc/empty", "")}},
         .prepare = [](const temp_root& root) { remove_tree(root.host("/ram")); root.write_file("/ram", ""); },
         .outcome = refused(" /flash/etc/empty", "hello-6.48.1", "could not create etc/empty: Not a directory"),
         .after = " /ram="},
        {.title = "full while writing", .package = {.files = {regular_file("big", byte_pattern(100000))}},
         .small_disks = true, .outcome = full},
        {.title = "full at the flush", .package = {.files = {regular_file("big", byte_pattern(65536 + 100))}},
         .small_disks = true, .outcome = full},
        {.title = "uninstall", .install = false, .before = old_a, .uninstall_after = "a",
         .after = " etc/shared=old pdb/b/files pdb/b/version /outside=kept"},
        {.title = "uninstall two", .install = false, .before = old_a, .uninstall_after = "a b", .after = " /outside=kept"},
        {.title = "moved file", .package = {.files = {regular_file("etc/shared", "new")}}, .before = old_a,
         .uninstall_after = "a b", .outcome = installed(" /etc/shared:644"),
         .after = " etc/shared=new" + hello_record + " /outside=kept"},
        {.title = "replaced", .package = hello, .before = old_hello, .uninstall_before = "hello",
         .outcome = installed(" /etc/hello:644"), .after = " etc/hello=config" + hello_record},
        {.title = "boot image", .install = false, .before = {{pdb + "system/image", boot_image}, {"/flash/bootimage", "b"}},
         .uninstall_after = "system"},
        {.title = "linked boot image", .install = false,
         .before = {{pdb + "system/image", boot_image}, {"/flash/bootimage", "b"}}, .prepare = second_link,
         .uninstall_after = "system", .after = " boot/kernel=b bootimage=b"},
    };
    // clang-format on
    for (const std::string& name :
         {std::string(""), std::string("/"), std::string("."), std::string("etc/"), std::string("../x"),
          std::string("etc/../../x"), std::string("a b"), std::string("a\tb"), std::string("a\nb"), std::string("a\rb"),
          std::string("a\0b", 3), std::string(PATH_MAX, 'a')})
        cases.push_back({.title = "entry " + name.substr(0, 9),
                         .package = {.files = {regular_file("etc/ok", ""), regular_file(name, "x")}},
                         .outcome = refused(" /flash/etc/ok")});
    for (const std::string name : {"", ".", "..", "a/b", "a b", "a\nb"})
        cases.push_back({.title = "package " + name,
                         .package = {.name = name, .files = hello.files},
                         .outcome = refused("", printable(name) + "-6.48.1")});

    for (const scenario& s : cases) {
        temp_root root;
        for (const auto& [path, content] : s.before) root.write_file(path, content);
        if (s.prepare) s.prepare(root);
        std::string bytes = s.install ? maker::package(s.package) : "";
        std::string outcome = run_scenario(root, s, bytes.substr(0, bytes.size() - s.cut));
        if (outcome.starts_with("skipped"))
            std::printf("%s: %s", s.title.c_str(), outcome.c_str());
        else
            EXPECT_EQ(outcome, s.outcome) << s.title;
        EXPECT_EQ(after_state(root), s.after) << s.title;
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
