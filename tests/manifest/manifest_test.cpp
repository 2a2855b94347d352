#include "manifest/manifest.h"

#include <gtest/gtest.h>
#include <sys/statfs.h>

#include "manifest/file_helpers.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

// The manifest one entry a line, "destination kind source", in map order.
std::vector<std::string> describe(const file_manifest& manifest) {
    std::vector<std::string> lines;
    for (const auto& [destination, e] : manifest.entries) {
        EXPECT_EQ(destination, e.destination);
        const char* kind = e.kind == entry_kind::move ? " move" : e.kind == entry_kind::staged_file ? " staged" : e.kind == entry_kind::symlink ? " link" : " remove";
        lines.push_back(destination + kind + (e.source.empty() ? "" : " " + e.source));
    }
    return lines;
}

void put(file_manifest& manifest, const std::string& destination, entry_kind kind, const std::string& source = "") {
    manifest.entries[destination] = manifest_entry{destination, kind, source};
}

std::string staged(file_manifest& manifest, const std::string& destination, std::uint32_t size, mode_t mode = 0) {
    std::ofstream out;
    stage_new_file(out, manifest, destination, size, mode) << "content";
    return manifest.entries.at(destination).source;
}

std::uint32_t fake_now = 1000;
std::uint32_t fast_clock() { return fake_now += 100; }

}  // namespace

// One line per entry in map order (a staged file saves as a move); loading
// stops at the first malformed line, and at a last line cut off without its
// line end. Paths that would read back as other operations are not saved,
// and the manifest saved before stays as it was.
TEST(ManifestTest, SaveAndLoad) {
    temp_root root;
    const std::string saved = root.host("/ram/MANIFEST");
    file_manifest manifest;
    put(manifest, "/c", entry_kind::move, "/tmp1");
    put(manifest, "/b", entry_kind::symlink, "/x y");
    put(manifest, "/a", entry_kind::remove);
    put(manifest, "/d", entry_kind::staged_file, "/flash/tmpAbC123");
    ASSERT_TRUE(save_manifest(manifest, saved));
    EXPECT_EQ(read_host_file(saved), "U /a\nL /b /x y\nM /c /tmp1\nM /d /flash/tmpAbC123\n");
    const std::pair<const char*, const char*> refused[] = {{"/flash/p", "/ram/tmpAAAAAA\nU /flash"}, {"/flash/p /q\nU /flash", "/t"}, {"/flash/a b", "/t"}};
    for (const auto& [destination, source] : refused) {
        file_manifest bad;
        put(bad, destination, entry_kind::symlink, source);
        EXPECT_FALSE(save_manifest(bad, saved)) << destination;
    }
    EXPECT_EQ(root.list_dir("/ram"), std::vector<std::string>{"MANIFEST"});
    const std::pair<std::string, std::vector<std::string>> loads[] = {
        {read_host_file(saved), {"/a remove", "/b link /x y", "/c move /tmp1", "/d move /flash/tmpAbC123"}},
        {"U /a\nX /q /r\nL /b /x\n", {"/a remove", "/b link /x"}},  // an unknown first field is passed over
        {"U /a\nM /c\nU /d\n", {"/a remove"}},                      // M and L need three fields
        {"U /a\nL /b\nU /d\n", {"/a remove"}},
        {"U /a\n\nU /d\n", {"/a remove"}},
        {"U /a\nU\nU /d\n", {"/a remove"}},
        {"U /a\n   \nU /d\n", {"/a remove"}},
        {"X\nU /a\n", {}},
        {"M  /c   /t1\nU /a \n", {"/a remove", "/c move /t1"}},  // runs of blanks separate fields
        {"U /a\nU /flash/var/pdb/ne", {"/a remove"}},
        {"", {}},
    };
    for (const auto& [text, entries] : loads) {
        write_host_file(saved, text);
        file_manifest loaded;
        load_manifest(loaded, saved);
        EXPECT_EQ(describe(loaded), entries) << text;
    }
    file_manifest missing;
    load_manifest(missing, root.host("/ram/none"));
    EXPECT_TRUE(is_empty(missing));
    ASSERT_TRUE(save_manifest(file_manifest{}, saved));
    EXPECT_EQ(read_host_file(saved), "");
}

// Replacing or removing a staged entry deletes its temporary file (a move's
// source is not the manifest's and stays); cancelling deletes the staged
// files only; a path can be claimed where nothing but a removal is pending
// and no plain file stands.
TEST(ManifestTest, StagingReplacesCancelsAndClaims) {
    temp_root root;
    const std::string destination = root.host("/flash/var/pdb/net/files"), download = root.host("/rw/pckg/a.qpk");
    root.write_file("/rw/pckg/a.qpk", "package");
    root.write_file("/flash/var/pdb/file", "f");
    file_manifest manifest;
    const std::string first = staged(manifest, destination, 10);
    EXPECT_EQ(parent_dir(first), root.host("/flash/var/pdb"));  // the nearest existing ancestor
    const std::string second = staged(manifest, destination, 10);
    EXPECT_FALSE(root.exists(first.substr(root.path().size())));
    stage_symlink(manifest, "elsewhere", destination);
    EXPECT_FALSE(root.exists(second.substr(root.path().size())));
    stage_move(manifest, download, destination);
    stage_symlink(manifest, "again", destination);
    const std::string third = staged(manifest, root.host("/flash/new"), 4);
    stage_remove(manifest, root.host("/flash/new"));  // nothing there: the entry and its file go
    stage_move(manifest, download, root.host("/flash/new2"));
    stage_remove(manifest, root.host("/flash/new2"));
    stage_remove(manifest, root.host("/flash/never"));
    EXPECT_FALSE(root.exists(third.substr(root.path().size())));
    EXPECT_EQ(describe(manifest), std::vector<std::string>{destination + " link again"});
    EXPECT_TRUE(root.exists("/rw/pckg/a.qpk"));

    const std::string dir = root.host("/flash/var/pdb/net"), file = root.host("/flash/var/pdb/file");
    const std::pair<std::string, bool> claims[] = {{root.host("/flash/absent"), true}, {dir, true}, {file, false}};
    for (const auto& [path, free] : claims) EXPECT_EQ(claim_path(manifest, path), free) << path;
    stage_remove(manifest, dir);
    stage_remove(manifest, file);
    EXPECT_TRUE(claim_path(manifest, dir));   // a pending removal is dropped: the path is reused
    EXPECT_FALSE(claim_path(manifest, file)); // still a plain file there
    stage_move(manifest, file, dir);
    EXPECT_FALSE(claim_path(manifest, dir));
    EXPECT_FALSE(claim_path(manifest, destination));
    const std::string fourth = staged(manifest, root.host("/flash/new"), 3, 0644);
    stage_remove(manifest, file);
    cancel_manifest(manifest);
    EXPECT_TRUE(is_empty(manifest));
    EXPECT_FALSE(root.exists(fourth.substr(root.path().size())));
    EXPECT_TRUE(root.exists("/flash/var/pdb/file") && root.exists("/rw/pckg/a.qpk"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/net/files") || root.exists("/flash/new"));
}

// Removals and links are applied before any move (a move's path may sort
// before the removal of its directory, a link's after its move); failed
// renames and links are reported and the rest goes on; removing a
// directory takes its plain visible files only; entries are kept.
TEST(ManifestTest, ApplyRemovesAndLinksBeforeAnyMove) {
    temp_root root;
    for (const char* file : {"/flash/pkg/old", "/ram/new", "/flash/target", "/flash/replaced", "/ram/b", "/flash/d1/a", "/flash/d1/.hidden", "/flash/d1/sub/c"})
        root.write_file(file, "x");
    root.make_dir("/flash/dir");
    file_manifest manifest;
    stage_remove(manifest, root.host("/flash/pkg"));
    stage_move(manifest, root.host("/ram/new"), root.host("/flash/./pkg/new"));
    stage_symlink(manifest, root.host("/flash/target"), root.host("/flash/z/link"));
    stage_move(manifest, root.host("/flash/z/link"), root.host("/flash/a/moved-link"));
    stage_symlink(manifest, "target", root.host("/flash/replaced"));
    put(manifest, root.host("/flash/a0"), entry_kind::move, root.host("/ram/missing"));
    put(manifest, root.host("/flash/b"), entry_kind::move, root.host("/ram/b"));
    put(manifest, root.host("/flash/dir"), entry_kind::symlink, "x");  // a link cannot replace a directory
    put(manifest, root.host("/flash/gone"), entry_kind::remove);
    stage_remove(manifest, root.host("/flash/d1"));
    run_result r = run_in_child("", [&] { return apply_manifest(manifest, false), 0; });
    EXPECT_EQ(r.err, "symlink: File exists\nrename: No such file or directory\n");
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"new"});
    EXPECT_FALSE(root.exists("/ram/new") || root.exists("/flash/z/link") || root.exists("/flash/a0"));
    EXPECT_TRUE(is_link_to(root.host("/flash/a/moved-link"), root.host("/flash/target")));
    EXPECT_TRUE(is_link_to(root.host("/flash/replaced"), "target"));
    EXPECT_EQ(root.read_file("/flash/b"), "x");
    EXPECT_EQ(root.list_dir("/flash/d1"), (std::vector<std::string>{".hidden", "sub"}));
    EXPECT_EQ(manifest.entries.size(), 10u);
}

// Where a staged file's temporary file goes, in a child changed into the
// root: beside its destination (or the nearest existing ancestor) when the
// size is known and the path fits in 128 bytes, else /ram, /tmp without it.
TEST(ManifestTest, TemporaryFilePlacement) {
    temp_root root;
    const std::string fits(110, 'a'), too_long(111, 'b');  // "/flash/" + 110 + "/tmpXXXXXX" + NUL = 128
    root.make_dir("/flash/" + fits);
    root.make_dir("/flash/" + too_long);
    run_result r = run_in_child(root.path(), [&] {
        child_checks checks;
        file_manifest m;
        const std::string marker = staged(m, "/flash/PCKGS_CHANGED", 1);
        CHILD_CHECK_EQ(checks, marker.substr(0, 10), "/flash/tmp");
        CHILD_CHECK_EQ(checks, marker.size(), 16u);
        CHILD_CHECK_EQ(checks, mode_of(marker), 0600u);
        CHILD_CHECK(checks, m.entries.at("/flash/PCKGS_CHANGED").kind == entry_kind::staged_file);
        const std::string deep = staged(m, "/flash/var/pdb/net/sub/files", 100, 0640);
        CHILD_CHECK_EQ(checks, parent_dir(deep), "/flash/var/pdb");
        CHILD_CHECK_EQ(checks, mode_of(deep), 0640u);
        CHILD_CHECK_EQ(checks, read_host_file(deep), "content");
        CHILD_CHECK_EQ(checks, parent_dir(staged(m, "/flash/unknown", 0)), "/ram");
        const std::string top = staged(m, "/top", 1);  // "/tmpXXXXXX", not "//tmpXXXXXX"
        CHILD_CHECK_EQ(checks, parent_dir(top) + std::to_string(top.size()), "/10");
        CHILD_CHECK_EQ(checks, parent_dir(staged(m, "/flash/" + fits + "/x", 1)), "/flash/" + fits);
        CHILD_CHECK_EQ(checks, parent_dir(staged(m, "/flash/" + too_long + "/x", 1)), "/ram");
        cancel_manifest(m);
        CHILD_CHECK_EQ(checks, ::rmdir("/ram"), 0);
        CHILD_CHECK_EQ(checks, parent_dir(staged(m, "/flash/unknown", 0)), "/tmp");
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

namespace {

// Runs body in a child with a tmpfs of the given options as /flash (and one
// as /flash/boot when boot_options is given); status 77 when mounting is
// refused here.
run_result on_tmpfs_flash(const temp_root& root, const std::string& options, const std::function<bool()>& body,
                          const std::string& boot_options = "") {
    return run_in_private_mounts(
        root.path(),
        [&] {
            return mount_tmpfs(root.host("/flash"), options) &&
                   (boot_options.empty() || (make_dirs(root.host("/flash/boot")) && mount_tmpfs(root.host("/flash/boot"), boot_options)));
        },
        [&] {
            make_dirs("/flash/boot");
            spinner() = spinner_state{};
            set_uptime_source_for_testing(fast_clock);
            return body() ? 0 : 1;
        });
}

// Fills the file system of path, leaving about room bytes.
void fill(const std::string& path, std::size_t room = 0) {
    struct statfs fs;
    ::statfs(parent_dir(path).c_str(), &fs);
    const std::size_t free = static_cast<std::size_t>(fs.f_bavail) * static_cast<std::size_t>(fs.f_bsize);
    if (free > room) write_host_file(path, std::string(free - room, 'f'));
    write_host_file(path + ".last", std::string(room ? 0 : 8192, 'f'));
}

#define SKIP_WITHOUT_MOUNTS(r) \
    if ((r).status == 77) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not allowed here: " << (r).err

}  // namespace

// A move across file systems copies into a temporary file beside the
// destination, gives it the source's mode and renames it into place; the
// spinner turns once per chunk. A failed copy, at the first write or at a
// later one, leaves the old destination and says why; the rest goes on.
TEST(ManifestTest, MovesAcrossFileSystems) {
    temp_root root;
    const std::string content = byte_pattern(40000);
    run_result r = on_tmpfs_flash(root, "512k", [&] {
        write_host_file("/flash/dest", "old");
        write_host_file("/ram/plain", "plain");
        ::chmod("/ram/plain", 0705);
        file_manifest manifest;
        std::ofstream out;
        stage_new_file(out, manifest, "/flash/dest", 0, 0640) << content;
        out.close();
        stage_move(manifest, "/ram/plain", "/flash/new/sub/plain");
        apply_manifest(manifest, true);
        return read_host_file("/flash/dest") == content && mode_of("/flash/dest") == 0640 && mode_of("/flash/new/sub/plain") == 0705 &&
               read_host_file("/ram/plain") == "plain" && names_in("/flash") == std::vector<std::string>{"boot", "dest", "new"} &&
               names_in("/flash/new/sub") == std::vector<std::string>{"plain"};
    });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "|\b/\b-\b\\");
    for (std::size_t room : {0, 4096, 30000}) {
        r = on_tmpfs_flash(root, "64k", [&] {
            write_host_file("/flash/dest", "old");
            write_host_file("/flash/zz", "");
            write_host_file("/ram/big", byte_pattern(200000));
            write_host_file("/ram/small", "small");
            fill("/flash/boot/fill", room);
            ::unlink("/flash/zz");
            file_manifest manifest;
            stage_move(manifest, "/ram/big", "/flash/dest");
            if (room) stage_move(manifest, "/ram/small", "/flash/zz");  // on a full disk nothing goes on
            apply_manifest(manifest, false);
            return read_host_file("/flash/dest") == "old" && read_host_file("/flash/zz") == (room ? "small" : "") &&
                   names_in("/flash") == (room ? std::vector<std::string>{"boot", "dest", "zz"} : std::vector<std::string>{"boot", "dest"});
        });
        EXPECT_EQ(r.status, 0) << room << r.err;
        EXPECT_EQ(r.err, "copy: No space left on device\n") << room;
    }
}

// Whether the flash and boot file systems keep more than 16 free blocks
// once the pending operations are done: removals free blocks, moves from
// elsewhere take them (and free what they replace), a move on the same
// file system counts as nothing; an unmounted /flash/boot has no room.
// A staged file goes beside its destination only with a tenth to spare.
TEST(ManifestTest, RoomOnFlash) {
    temp_root root;
    run_result r = on_tmpfs_flash(root, "256k", [&] {
        child_checks checks;
        write_host_file("/ram/big", byte_pattern(300 * 1024));
        write_host_file("/ram/small", byte_pattern(100 * 1024));
        write_host_file("/ram/tiny", "t");
        const auto space_for = [](const std::vector<std::tuple<entry_kind, std::string, std::string>>& ops) {
            file_manifest m;
            for (const auto& [kind, destination, source] : ops) put(m, destination, kind, source);
            return has_space_for(m);
        };
        using E = entry_kind;
        CHILD_CHECK(checks, space_for({}));
        CHILD_CHECK(checks, !space_for({{E::move, "/flash/x", "/ram/big"}}));
        CHILD_CHECK(checks, space_for({{E::move, "/flash/x", "/ram/small"}, {E::symlink, "/flash/link", "/ram/big"}, {E::move, "/rw/x", "/ram/big"}}));
        std::uint32_t largest = 0;
        for (struct statfs fs; ::statfs("/flash", &fs) == 0 && largest == 0;)
            for (largest = static_cast<std::uint32_t>(fs.f_bsize * fs.f_bfree); largest + largest / 10 >= fs.f_bsize * fs.f_bfree;) --largest;
        CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/var/x", largest), "/flash");
        CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/var/x", largest + 1), "/ram");
        CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/x", 3904515724u), "/ram");  // size and a tenth do not wrap
        write_host_file("/flash/boot/one-block", "1");
        write_host_file("/flash/other", "o");
        fill("/flash/boot/fill");
        CHILD_CHECK(checks, !space_for({}));
        CHILD_CHECK(checks, space_for({{E::remove, "/flash/boot/fill", ""}}));
        CHILD_CHECK(checks, !space_for({{E::remove, "/flash/boot/one-block", ""}}));
        CHILD_CHECK(checks, space_for({{E::move, "/flash/boot/fill", "/ram/tiny"}}));
        CHILD_CHECK(checks, !space_for({{E::staged_file, "/flash/boot/fill", "/flash/other"}}));
        return checks.status() == 0;
    });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
    // "/flash/bootimage" lies on /flash, but its path begins with "/flash/boot": its removal counts for both.
    r = on_tmpfs_flash(root, "512k", [&] {
        fill("/flash/boot/fill");
        write_host_file("/flash/bootimage", byte_pattern(100 * 1024));
        file_manifest m;
        const bool full = !has_space_for(m);
        stage_remove(m, "/flash/bootimage");
        return full && has_space_for(m);
    }, "128k");
    EXPECT_EQ(r.status, 0) << r.err;

    ::rmdir(root.host("/flash/boot").c_str());
    root.write_file("/flash/bootimage", std::string(17, 'b'));
    root.write_file("/flash/bootimage.old", std::string(16, 'b'));
    root.write_file("/flash/other", std::string(4096, 'o'));
    r = run_in_child(root.path(), [] {
        bool answers[4];
        int i = 0;
        for (const char* removed : {"", "/flash/other", "/flash/bootimage.old", "/flash/bootimage"}) {
            file_manifest m;
            if (*removed) stage_remove(m, removed);
            answers[i++] = has_space_for(m);
        }
        return !answers[0] && !answers[1] && !answers[2] && answers[3] ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0) << r.err;
}
