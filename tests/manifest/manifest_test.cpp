#include "manifest/manifest.h"
#include "manifest/saved_manifest.h"

#include <gtest/gtest.h>
#include <libgen.h>
#include <sys/statfs.h>

#include "manifest/file_helpers.h"
#include "platform/hardware.h"
#include "support/host_files.h"

namespace {

// A manifest as the lines of its saved form, a staged file as "S" (and without its random name), and back.
std::string text(const file_manifest& m) {
    std::string lines;
    for (const auto& [destination, e] : m.entries) {
        const bool staged = e.kind == entry_kind::staged_file;
        lines += e.kind == entry_kind::move ? "M " : staged ? "S " : e.kind == entry_kind::symlink ? "L " : "U ";
        lines += destination + (e.source.empty() || staged ? "" : " " + e.source) + "\n";
    }
    return lines;
}
file_manifest loaded(const std::string& lines, const std::string& path) {
    file_manifest m;
    write_host_file(path, lines);
    load_manifest(m, path);
    return m;
}
std::string staged(file_manifest& m, const std::string& destination, std::uint32_t size, mode_t mode = 0) {
    disk_ostream out;
    stage_new_file(out, m, destination, size, mode) << "content";
    return source_path(destination, m.entries.at(destination));
}

}  // namespace

// One line per entry in map order, a staged file as a move; loading stops at the first malformed line and at a last
// line cut off without its line end. Paths that would read back as other operations are not saved, and the manifest
// saved before stays.
TEST(ManifestTest, SaveAndLoad) {
    temp_root root;
    const std::string path = root.host("/ram/MANIFEST");
    const std::string saved = "U /a\nL /b /x y\nM /c /tmp1\nM /d /flash/tmpAbC123\n";
    file_manifest m = loaded("M /c /tmp1\nL /b /x y\nU /a\n", path);
    m.entries["/d"] = {entry_kind::staged_file, "/flash/tmpAbC123"};
    ASSERT_TRUE(save_manifest(m, path));
    EXPECT_EQ(read_host_file(path), saved);
    for (const auto& [destination, source] : {std::pair{"/p", "/ram/tmpAAAAAA\nU /flash"},
                                              std::pair{"/p /q\nU /flash", "/t"}, std::pair{"/a b", "/t"}}) {
        file_manifest bad;
        bad.entries[destination] = {entry_kind::symlink, source};
        EXPECT_FALSE(save_manifest(bad, path)) << destination;
    }
    EXPECT_EQ(root.list_dir("/ram"), std::vector<std::string>{"MANIFEST"});
    const std::pair<std::string, std::string> loads[] = {
        {read_host_file(path), saved}, {"U /a\nX /q /r\nL /b /x\n", "U /a\nL /b /x\n"},
        {"U /a\nM /c\nU /d\n", "U /a\n"}, {"U /a\nL /b\nU /d\n", "U /a\n"}, {"U /a\n\nU /d\n", "U /a\n"},
        {"U /a\nU\nU /d\n", "U /a\n"}, {"U /a\n   \nU /d\n", "U /a\n"}, {"X\nU /a\n", ""},
        {"M  /c   /t1\nU /a \n", "U /a\nM /c /t1\n"}, {"U /a\nU /flash/var/pdb/ne", "U /a\n"}, {"", ""},
    };
    for (const auto& [lines, entries] : loads) EXPECT_EQ(text(loaded(lines, path)), entries) << lines;
    EXPECT_TRUE(is_empty(loaded("", root.host("/ram/none"))));
}

// Replacing or dropping a staged entry deletes its temporary file (a move's source is not the manifest's); cancelling
// deletes staged files only; a path is claimed where no plain file stands and only a removal is pending.
TEST(ManifestTest, StagingReplacesCancelsAndClaims) {
    temp_root root;
    const auto at = [&](const std::string& inside) { return root.host(inside); };
    const auto gone = [&](const std::string& host) { return !root.exists(host.substr(root.path().size())); };
    const std::string files = at("/flash/var/pdb/net/files");
    root.write_file("/rw/pckg/a.qpk", "package");
    root.write_file("/flash/var/pdb/file", "f");
    file_manifest m;
    const std::string first = staged(m, files, 10), second = staged(m, files, 10);
    EXPECT_EQ(parent_dir(first), at("/flash/var/pdb"));  // the nearest existing ancestor
    stage_symlink(m, "elsewhere", files);
    stage_move(m, at("/rw/pckg/a.qpk"), files);
    stage_symlink(m, "again", files);
    const std::string third = staged(m, at("/flash/new"), 4);
    stage_remove(m, at("/flash/new"));  // nothing there: the entry and its file go
    stage_move(m, at("/rw/pckg/a.qpk"), at("/flash/new2"));
    stage_remove(m, at("/flash/new2"));
    stage_remove(m, at("/flash/never"));
    EXPECT_EQ(text(m), "L " + files + " again\n");
    EXPECT_TRUE(gone(first) && gone(second) && gone(third) && root.exists("/rw/pckg/a.qpk"));
    std::string claims;
    for (const char* path : {"/flash/absent", "/flash/var/pdb/net", "/flash/var/pdb/file", "/flash/var/pdb/net/files"})
        claims += std::to_string(claim_path(m, at(path)));
    stage_remove(m, at("/flash/var/pdb/net"));
    stage_remove(m, at("/flash/var/pdb/file"));
    for (const char* path : {"/flash/var/pdb/net", "/flash/var/pdb/file"})
        claims += std::to_string(claim_path(m, at(path)));
    EXPECT_EQ(claims, "110010");  // a pending removal is dropped and the path reused
    const std::string fourth = staged(m, at("/flash/new"), 3, 0644);
    const std::string deep = staged(m, at("/flash/1/2/3/4/5/6/7/8/9/10/f"), 3);
    EXPECT_EQ(parent_dir(deep), at("/flash"));  // ten levels up
    stage_remove(m, at("/flash/var/pdb/file"));
    cancel_manifest(m);
    EXPECT_TRUE(is_empty(m) && gone(fourth) && gone(deep) && root.exists("/flash/var/pdb/file") && gone(files));
    // A manifest dropped with staged files cancels itself; a saved or moved-from one leaves them to their new owner.
    std::string dropped, kept;
    {
        file_manifest d, s;
        dropped = staged(d, at("/flash/d"), 3);
        kept = staged(s, at("/flash/k"), 3);
        ASSERT_TRUE(save_manifest(s, at("/ram/MANIFEST")));
        file_manifest moved(std::move(d));
    }
    EXPECT_TRUE(gone(dropped) && !gone(kept));
}

// Removals and links go before any move (a move's path may sort before the removal of its directory, a link's after its
// move); failed renames and links are reported and the rest goes on; a directory loses its plain visible files only;
// the entries are kept. "R" in the lines stands for the root.
TEST(ManifestTest, ApplyRemovesAndLinksBeforeAnyMove) {
    temp_root root;
    for (const char* file : {"/flash/pkg/old", "/ram/new", "/flash/target", "/flash/replaced", "/ram/b", "/flash/d1/a",
                             "/flash/d1/.hidden", "/flash/d1/sub/c"})
        root.write_file(file, "x");
    root.make_dir("/flash/dir");
    std::string lines = "U R/flash/pkg\nM R/flash/./pkg/new R/ram/new\nL R/flash/z/link R/flash/target\n"
                        "M R/flash/a/moved-link R/flash/z/link\nL R/flash/replaced target\nM R/flash/a0 R/ram/missing\n"
                        "M R/flash/b R/ram/b\nL R/flash/dir x\nU R/flash/gone\nU R/flash/d1\n";
    for (std::size_t at; (at = lines.find("R/")) != std::string::npos;) lines.replace(at, 1, root.path());
    file_manifest m = loaded(lines, root.host("/tmp/MANIFEST"));
    ASSERT_EQ(m.entries.size(), 10u);
    EXPECT_EQ(run_in_child("", [&] { return apply_manifest(m, false), 0; }).err,
              "symlink: File exists\nrename: No such file or directory\n");
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"new"});
    EXPECT_FALSE(root.exists("/ram/new") || root.exists("/flash/z/link") || root.exists("/flash/a0"));
    EXPECT_TRUE(is_link_to(root.host("/flash/a/moved-link"), root.host("/flash/target")));
    EXPECT_TRUE(is_link_to(root.host("/flash/replaced"), "target"));
    EXPECT_EQ(root.read_file("/flash/b") + std::to_string(m.entries.size()), "x10");
    EXPECT_EQ(root.list_dir("/flash/d1"), (std::vector<std::string>{".hidden", "sub"}));
}

namespace {

// Runs body in a child with a tmpfs of the given size as /flash; status 77 where mounting is refused.
run_result on_tmpfs_flash(const temp_root& root, const std::string& size, const std::function<bool()>& body) {
    return run_in_private_mounts(root.path(), [&] { return mount_tmpfs(root.host("/flash"), size); }, [&] {
        make_dirs("/flash/boot");
        platform::fake_hardware clock;
        clock.uptime = 1000;
        clock.uptime_step = 100;
        platform::set_hardware(&clock);
        return body() ? 0 : 1;
    });
}

void fill(const std::string& path, std::size_t room = 0) {  // leaves about room bytes free
    struct statfs fs;
    ::statfs(parent_dir(path).c_str(), &fs);
    const std::size_t free = static_cast<std::size_t>(fs.f_bavail) * static_cast<std::size_t>(fs.f_bsize);
    write_host_file(path, std::string(free > room ? free - room : 0, 'f'));
    write_host_file(path + ".last", std::string(room ? 0 : 8192, 'f'));
}

}  // namespace

// A move across file systems copies into a temporary file beside the destination, gives it the source's mode and
// renames it into place, the spinner turning once per chunk; a staged source in /ram goes. A copy that fails, at the
// first write or a later one, says why and cancels the whole run before anything changed.
TEST(ManifestTest, MovesAcrossFileSystems) {
    temp_root root;
    run_result r = on_tmpfs_flash(root, "512k", [&] {
        write_host_file("/flash/dest", "old");
        write_host_file("/ram/plain", "plain");
        ::chmod("/ram/plain", 0705);
        file_manifest m;
        disk_ostream out;
        stage_new_file(out, m, "/flash/dest", 0, 0640) << byte_pattern(40000);
        out.close();
        stage_move(m, "/ram/plain", "/flash/new/sub/plain");
        apply_manifest(m, true);
        return read_host_file("/flash/dest") == byte_pattern(40000) && mode_of("/flash/dest") == 0640
               && mode_of("/flash/new/sub/plain") == 0705 && names_in("/ram") == std::vector<std::string>{"plain"}
               && names_in("/flash") == std::vector<std::string>{"boot", "dest", "new", "var"};
    });
    if (r.status == 77) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not allowed here: " << r.err;
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "|\b/\b-\b\\0");
    for (std::size_t room : {0, 4096, 30000}) {
        r = on_tmpfs_flash(root, "64k", [&] {
            write_host_file("/flash/dest", "old");
            write_host_file("/ram/big", byte_pattern(200000));
            write_host_file("/ram/small", "small");
            write_host_file("/flash/zz", "");
            fill("/flash/boot/fill", room);
            ::unlink("/flash/zz");
            file_manifest m;
            stage_move(m, "/ram/big", "/flash/dest");
            stage_move(m, "/ram/small", "/flash/zz");
            return !apply_manifest(m, false) && read_host_file("/flash/dest") == "old" && is_empty(m)
                   && names_in("/flash").size() == 2u && read_host_file("/ram/small") == "small";
        });
        EXPECT_EQ(r.err + std::to_string(r.status), "copy: No space left on device\n0") << room;
    }
}

// Whether /flash and /flash/boot keep more than 16 free blocks once the pending operations are done: removals free
// blocks, moves from elsewhere take them (the copy is made while the old file still stands), a move within the file
// system counts nothing; a path under "/flash/boot" counts for both. A staged file goes to flash with a tenth to spare.
TEST(ManifestTest, RoomOnFlash) {
    temp_root root;
    const auto space_for = [](const std::string& lines) { return has_space_for(loaded(lines, "/ram/M")) ? '1' : '0'; };
    const run_result r = on_tmpfs_flash(root, "256k", [&] {
        write_host_file("/ram/big", byte_pattern(300 * 1024));
        write_host_file("/ram/small", byte_pattern(100 * 1024));
        write_host_file("/ram/tiny", "t");
        struct statfs fs;
        ::statfs("/flash", &fs);
        std::uint32_t largest = static_cast<std::uint32_t>(fs.f_bsize * fs.f_bfree);
        while (largest + largest / 10 >= fs.f_bsize * fs.f_bfree) --largest;
        std::printf("%s", temporary_directory_for("/flash/var/x", largest).c_str());
        std::printf("%s ", temporary_directory_for("/flash/var/x", largest + 1).c_str());
        std::printf("%s ", temporary_directory_for("/flash/x", 3904515724u).c_str());  // size and a tenth do not wrap
        for (const char* lines :
             {"", "M /flash/x /ram/big\n", "M /flash/x /ram/small\nL /flash/l /ram/big\nM /rw/x /ram/big\n"})
            std::putchar(space_for(lines));
        write_host_file("/flash/boot/one-block", "1");
        write_host_file("/flash/other", "o");
        fill("/flash/boot/fill");
        std::putchar(' ');
        for (const char* lines : {"", "U /flash/boot/fill\n", "U /flash/boot/one-block\n",
                                  "M /flash/boot/fill /ram/tiny\n", "M /flash/boot/fill /flash/other\n"})
            std::putchar(space_for(lines));
        ::unlink("/flash/boot/fill");
        write_host_file("/flash/staged", byte_pattern(100 * 1024));  // staged on flash already: not counted again
        fill("/flash/boot/fill", 80 * 1024);
        std::putchar(space_for("M /flash/new /flash/staged\n"));
        return true;
    });
    if (r.status == 77) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not allowed here: " << r.err;
    EXPECT_EQ(r.out, "/flash/ram /ram 101 010001") << r.err;
}

// parent_dir is dirname; make_dirs makes every missing level; copy_file keeps content and permission bits over a longer
// file, turning the spinner once per 16 KiB chunk (at most five steps a second, after a pause one step per call), and
// fails for a source missing, no regular file or failing to read, and for a destination that cannot be made.
TEST(FileHelpersTest, PathsCopiesAndTheSpinner) {
    for (const std::string path : {"/flash/var/pdb/net///", "/flash//net", "/flash", "/", "///", "net", "net/", "a/b",
                                   "", ".", ".."}) {
        std::string copy = path;
        EXPECT_EQ(parent_dir(path), std::string(::dirname(copy.data()))) << path;
    }
    temp_root root;
    EXPECT_TRUE(make_dirs(root.host("/flash/a/b/c")) && make_dirs(root.host("/flash/a/b/c/"))
                && root.exists("/flash/a/b/c") && make_dirs("/"));
    root.write_file("/flash/file", "f");
    root.write_file("/ram/dst", std::string(100000, 'x'));
    EXPECT_FALSE(make_dirs(root.host("/flash/file/sub/dir")));
    EXPECT_FALSE(copy_file(root.host("/flash/file"), root.host("/flash/no/dir/x"), false));
    const int longest = 3 * 16384 + 5;
    const std::tuple<const char*, int, const char*> copies[] = {
        {"/ram/src", longest, "|\b/\b-\b\\"}, {"/ram/src", 16384, "|"}, {"/ram/src", 0, ""}, {"/ram/missing", -1, ""},
        {"/ram", -1, ""}, {"/proc/self/mem", -1, ""},
    };
    for (const auto& [source, size, spinner] : copies) {
        if (size >= 0) root.write_file(source, byte_pattern(static_cast<std::size_t>(size)));
        if (size >= 0) ::chmod(root.host(source).c_str(), 0751);
        if (size != longest) ::unlink(root.host("/ram/dst").c_str());  // the first copy goes over a longer file
        const run_result r = run_in_child("", [&] {
            platform::fake_hardware clock;
            clock.uptime = 1000;
            clock.uptime_step = 100;
            platform::set_hardware(&clock);
            ::umask(022);
            return copy_file(source[1] == 'p' ? source : root.host(source), root.host("/ram/dst"), true) ? 0 : 1;
        });
        EXPECT_EQ(r.out + std::to_string(r.status), spinner + std::to_string(size < 0)) << source;
        EXPECT_TRUE(size < 0 || (root.read_file("/ram/dst") == byte_pattern(static_cast<std::size_t>(size))
                                 && (size == longest || mode_of(root.host("/ram/dst")) == 0751))) << size;
    }
    const run_result r = run_in_child("", [] {
        platform::fake_hardware clock;
        platform::set_hardware(&clock);
        for (std::uint32_t at : {1000, 1010, 1020, 1021, 1030, 1100, 1100, 1100, 1100, 1100}) {
            clock.uptime = at;
            advance_spinner();
            std::fputc('.', stdout);
        }
        platform::set_hardware(nullptr);
        platform::hardware& real = platform::current_hardware();
        const std::uint32_t first = real.uptime_ticks();
        return real.uptime_ticks() - first < 1000 && first > 30000 ? 0 : 1;
    });
    EXPECT_EQ(r.out + std::to_string(r.status), "|...\b/..\b-.\b\\.\b|...0");
}
