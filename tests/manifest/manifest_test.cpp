#include "manifest/manifest.h"

#include <gtest/gtest.h>
#include <sys/statfs.h>

#include "manifest/file_helpers.h"
#include "support/host_files.h"

namespace {

// A manifest as the lines of its saved form, a staged file as "S" (and without its random name), and back.
std::string text(const file_manifest& m) {
    std::string lines;
    for (const auto& [destination, e] : m.entries)
        lines += std::string(e.kind == entry_kind::move ? "M " : e.kind == entry_kind::staged_file ? "S "
            : e.kind == entry_kind::symlink ? "L " : "U ") +
                 destination + (e.source.empty() || e.kind == entry_kind::staged_file ? "" : " " + e.source)
                     + (destination == e.destination ? "\n" : "?\n");
    return lines;
}
file_manifest loaded(const std::string& lines, const std::string& path) {
    file_manifest m;
    write_host_file(path, lines);
    load_manifest(m, path);
    return m;
}
std::string staged(file_manifest& m, const std::string& destination, std::uint32_t size, mode_t mode = 0) {
    std::ofstream out;
    stage_new_file(out, m, destination, size, mode) << "content";
    return m.entries.at(destination).source;
}

}  // namespace

// One line per entry in map order, a staged file as a move; loading stops at the first malformed line and at a last
// line cut off without its line end. Paths that would read back as other operations are not saved, and the manifest
// saved before stays.
TEST(ManifestTest, SaveAndLoad) {
    temp_root root;
    const std::string path = root.host("/ram/MANIFEST");
    file_manifest m = loaded("M /c /tmp1\nL /b /x y\nU /a\n", path);
    m.entries["/d"] = {"/d", entry_kind::staged_file, "/flash/tmpAbC123"};
    ASSERT_TRUE(save_manifest(m, path));
    EXPECT_EQ(read_host_file(path), "U /a\nL /b /x y\nM /c /tmp1\nM /d /flash/tmpAbC123\n");
    for (const auto& [destination, source] : {std::pair{"/p", "/ram/tmpAAAAAA\nU /flash"},
        std::pair{"/p /q\nU /flash", "/t"}, std::pair{"/a b", "/t"}}) {
        file_manifest bad;
        bad.entries[destination] = {destination, entry_kind::symlink, source};
        EXPECT_FALSE(save_manifest(bad, path)) << destination;
    }
    EXPECT_EQ(root.list_dir("/ram"), std::vector<std::string>{"MANIFEST"});
    for (const auto& [lines, entries] : std::vector<std::pair<std::string, std::string>>{
             {read_host_file(path), "U /a\nL /b /x y\nM /c /tmp1\nM /d /flash/tmpAbC123\n"},
                 {"U /a\nX /q /r\nL /b /x\n", "U /a\nL /b /x\n"},
             {"U /a\nM /c\nU /d\n", "U /a\n"}, {"U /a\nL /b\nU /d\n", "U /a\n"}, {"U /a\n\nU /d\n", "U /a\n"},
                 {"U /a\nU\nU /d\n", "U /a\n"},
             {"U /a\n   \nU /d\n", "U /a\n"}, {"X\nU /a\n", ""}, {"M  /c   /t1\nU /a \n", "U /a\nM /c /t1\n"},
                 {"U /a\nU /flash/var/pdb/ne", "U /a\n"}, {"", ""}})
        EXPECT_EQ(text(loaded(lines, path)), entries) << lines;
    EXPECT_TRUE(is_empty(loaded("", root.host("/ram/none"))));
}

// Replacing or dropping a staged entry deletes its temporary file (a move's source is not the manifest's); cancelling
// deletes staged files only; a path is claimed where no plain file stands and only a removal is pending.
TEST(ManifestTest, StagingReplacesCancelsAndClaims) {
    temp_root root;
    const auto at = [&](const std::string& inside) { return root.host(inside); };
    root.write_file("/rw/pckg/a.qpk", "package");
    root.write_file("/flash/var/pdb/file", "f");
    file_manifest m;
    const std::string first = staged(m, at("/flash/var/pdb/net/files"), 10), second = staged(m,
        at("/flash/var/pdb/net/files"), 10);
    EXPECT_EQ(parent_dir(first), at("/flash/var/pdb"));  // the nearest existing ancestor
    stage_symlink(m, "elsewhere", at("/flash/var/pdb/net/files"));
    stage_move(m, at("/rw/pckg/a.qpk"), at("/flash/var/pdb/net/files"));
    stage_symlink(m, "again", at("/flash/var/pdb/net/files"));
    const std::string third = staged(m, at("/flash/new"), 4);
    stage_remove(m, at("/flash/new"));  // nothing there: the entry and its file go
    stage_move(m, at("/rw/pckg/a.qpk"), at("/flash/new2"));
    stage_remove(m, at("/flash/new2"));
    stage_remove(m, at("/flash/never"));
    EXPECT_EQ(text(m), "L " + at("/flash/var/pdb/net/files") + " again\n");
    EXPECT_FALSE(root.exists(first.substr(root.path().size())) || root.exists(second.substr(root.path().size()))
        || root.exists(third.substr(root.path().size())));
    EXPECT_TRUE(root.exists("/rw/pckg/a.qpk"));
    std::string claims;
    for (const char* path : {"/flash/absent", "/flash/var/pdb/net", "/flash/var/pdb/file",
        "/flash/var/pdb/net/files"}) claims += std::to_string(claim_path(m, at(path)));
    stage_remove(m, at("/flash/var/pdb/net"));
    stage_remove(m, at("/flash/var/pdb/file"));
    claims += std::to_string(claim_path(m, at("/flash/var/pdb/net"))) + std::to_string(claim_path(m,
        at("/flash/var/pdb/file")));
    EXPECT_EQ(claims, "110010");  // a pending removal is dropped and the path reused
    const std::string fourth = staged(m, at("/flash/new"), 3, 0644);
    stage_remove(m, at("/flash/var/pdb/file"));
    cancel_manifest(m);
    EXPECT_TRUE(is_empty(m) && !root.exists(fourth.substr(root.path().size())) && root.exists("/flash/var/pdb/file")
        && !root.exists("/flash/var/pdb/net/files"));
}

// Removals and links go before any move (a move's path may sort before the removal of its directory, a link's after its
// move); failed renames and links are reported and the rest goes on; a directory loses its plain visible files only;
// the entries are kept.
TEST(ManifestTest, ApplyRemovesAndLinksBeforeAnyMove) {
    temp_root root;
    for (const char* file : {"/flash/pkg/old", "/ram/new", "/flash/target", "/flash/replaced", "/ram/b",
        "/flash/d1/a", "/flash/d1/.hidden", "/flash/d1/sub/c"})
        root.write_file(file, "x");
    root.make_dir("/flash/dir");
    const std::string r = root.path();
    file_manifest m = loaded("U " + r + "/flash/pkg\nM " + r + "/flash/./pkg/new " + r + "/ram/new\nL " + r
        + "/flash/z/link " + r + "/flash/target\nM " + r +
                                 "/flash/a/moved-link " + r + "/flash/z/link\nL " + r + "/flash/replaced target\nM "
                                     + r + "/flash/a0 " + r + "/ram/missing\nM " + r +
                                 "/flash/b " + r + "/ram/b\nL " + r + "/flash/dir x\nU " + r + "/flash/gone\nU " + r
                                     + "/flash/d1\n",
                             root.host("/tmp/MANIFEST"));
    ASSERT_EQ(m.entries.size(), 10u);
    EXPECT_EQ(run_in_child("", [&] { return apply_manifest(m, false), 0; }).err,
        "symlink: File exists\nrename: No such file or directory\n");
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"new"});
    EXPECT_FALSE(root.exists("/ram/new") || root.exists("/flash/z/link") || root.exists("/flash/a0"));
    EXPECT_TRUE(is_link_to(root.host("/flash/a/moved-link"), root.host("/flash/target"))
        && is_link_to(root.host("/flash/replaced"), "target"));
    EXPECT_EQ(root.read_file("/flash/b") + std::to_string(m.entries.size()), "x10");
    EXPECT_EQ(root.list_dir("/flash/d1"), (std::vector<std::string>{".hidden", "sub"}));
}

// A staged file's temporary file goes beside its destination (or the nearest existing ancestor) when the size is known
// and the path fits in 128 bytes, else to /ram, or /tmp without it.
TEST(ManifestTest, TemporaryFilePlacement) {
    temp_root root;
    const std::string fits(110, 'a'), too_long(111, 'b');  // "/flash/" + 110 + "/tmpXXXXXX" + NUL = 128
    root.make_dir("/flash/" + fits);
    root.make_dir("/flash/" + too_long);
    const run_result r = run_in_child(root.path(), [&] {
        file_manifest m;
        const std::string marker = staged(m, "/flash/PCKGS_CHANGED", 1);
        const std::string deep = staged(m, "/flash/var/pdb/net/sub/files", 100, 0640);
        const std::string top = staged(m, "/top", 1);  // "/tmpXXXXXX", not "//tmpXXXXXX"
        std::printf("%s %zu %o\n", marker.substr(0, 10).c_str(), marker.size(), mode_of(marker));
        std::printf("%s %o %s\n", parent_dir(deep).c_str(), mode_of(deep), read_host_file(deep).c_str());
        std::printf("%s ", parent_dir(staged(m, "/flash/unknown", 0)).c_str());
        std::printf("%s%zu\n", parent_dir(top).c_str(), top.size());
        std::printf("%zu\n", parent_dir(staged(m, "/flash/" + fits + "/x", 1)).size());
        std::printf("%s\n", parent_dir(staged(m, "/flash/" + too_long + "/x", 1)).c_str());
        cancel_manifest(m);
        ::rmdir("/ram");
        std::printf("%s\n", parent_dir(staged(m, "/flash/unknown", 0)).c_str());
        return 0;
    });
    EXPECT_EQ(r.out, "/flash/tmp 16 600\n/flash/var/pdb 640 content\n/ram /10\n117\n/ram\n/tmp\n") << r.err;
}

namespace {

// Runs body in a child with a tmpfs of the given options as /flash (and one as /flash/boot if given); status 77 where
// mounting is refused.
run_result on_tmpfs_flash(const temp_root& root, const std::string& options, const std::function<bool()>& body,
    const std::string& boot = "") {
    return run_in_private_mounts(
        root.path(),
        [&] {
            return mount_tmpfs(root.host("/flash"), options) && (boot.empty() || (make_dirs(root.host("/flash/boot"))
                && mount_tmpfs(root.host("/flash/boot"), boot)));
        },
        [&] {
            make_dirs("/flash/boot");
            set_uptime_source_for_testing([] { static std::uint32_t now = 1000; return now += 100; });
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
// renames it into place, the spinner turning once per chunk. A copy that fails, at the first write or a later one,
// leaves the old destination and says why; the rest goes on.
TEST(ManifestTest, MovesAcrossFileSystems) {
    temp_root root;
    run_result r = on_tmpfs_flash(root, "512k", [&] {
        write_host_file("/flash/dest", "old");
        write_host_file("/ram/plain", "plain");
        ::chmod("/ram/plain", 0705);
        file_manifest m;
        std::ofstream out;
        stage_new_file(out, m, "/flash/dest", 0, 0640) << byte_pattern(40000);
        out.close();
        stage_move(m, "/ram/plain", "/flash/new/sub/plain");
        apply_manifest(m, true);
        return read_host_file("/flash/dest") == byte_pattern(40000) && mode_of("/flash/dest") == 0640
            && mode_of("/flash/new/sub/plain") == 0705 &&
               read_host_file("/ram/plain") == "plain" && names_in("/flash") == std::vector<std::string>{"boot",
                   "dest", "new"};
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
            if (room) stage_move(m, "/ram/small", "/flash/zz");  // on a full disk nothing can go on
            apply_manifest(m, false);
            return read_host_file("/flash/dest") == "old" && read_host_file("/flash/zz") == (room ? "small" : "")
                && names_in("/flash").size() == 2u + (room != 0);
        });
        EXPECT_EQ(r.err + std::to_string(r.status), "copy: No space left on device\n0") << room;
    }
}

// Whether /flash and /flash/boot keep more than 16 free blocks once the pending operations are done: removals free
// blocks, moves from elsewhere take them (and free what they replace), a move within the file system counts nothing; a
// path under "/flash/boot" counts for both; an unmounted /flash/boot has no room. A staged file goes to flash with a
// tenth to spare.
TEST(ManifestTest, RoomOnFlash) {
    temp_root root;
    const auto space_for = [](const std::string& lines) { return has_space_for(loaded(lines, "/ram/M")) ? '1' : '0'; };
    run_result r = on_tmpfs_flash(root, "256k", [&] {
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
        return true;
    });
    if (r.status == 77) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not allowed here: " << r.err;
    EXPECT_EQ(r.out, "/flash/ram /ram 101 01010") << r.err;
    r = on_tmpfs_flash(root, "512k", [&] {
        fill("/flash/boot/fill");
        write_host_file("/flash/bootimage", byte_pattern(100 * 1024));
        return std::string{space_for(""), space_for("U /flash/bootimage\n")} == "01";
    }, "128k");
    EXPECT_EQ(r.status, 0) << r.err;
    ::rmdir(root.host("/flash/boot").c_str());
    root.write_file("/flash/bootimage", std::string(17, 'b'));
    root.write_file("/flash/bootimage.old", std::string(16, 'b'));
    root.write_file("/flash/other", std::string(4096, 'o'));
    r = run_in_child(root.path(), [&] {
        return std::string{space_for(""), space_for("U /flash/other\n"), space_for("U /flash/bootimage.old\n"),
            space_for("U /flash/bootimage\n")} == "0001" ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0) << r.err;
}
