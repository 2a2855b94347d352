// The manifest against file systems of their own: a small tmpfs mounted as
// /flash (or /flash/boot) in a private mount namespace of a child process, so
// that renames from /ram cross file systems and free room is known exactly.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "manifest/file_helpers.h"
#include "manifest/manifest.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

#define SKIP_WITHOUT_MOUNTS(result)                                                                       \
    if ((result).status == 77)                                                                            \
    GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not allowed here: " << (result).err

std::uint32_t fake_now = 0;
std::uint32_t fast_clock() { return fake_now += 100; }

// Writes until the file system is full.
void fill(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return;
    std::string chunk(4096, 'f');
    while (std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size() && std::fflush(file) == 0) {
    }
    std::fclose(file);
}

TEST(MountedFlashTest, MoveAcrossFileSystemsCopiesThroughATemporaryFile) {
    temp_root root;
    const std::string content = byte_pattern(40000);  // three chunks
    run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "512k"); },
        [&] {
            child_checks checks;
            spinner() = spinner_state{};
            set_uptime_source_for_testing(fast_clock);
            make_dirs("/flash/dir");
            write_host_file("/flash/dir/dest", "old");
            file_manifest manifest;
            std::ofstream out;
            stage_new_file(out, manifest, "/flash/dir/dest", 0, 0640);
            out << content;
            out.close();
            std::string staged = manifest.entries.at("/flash/dir/dest").source;
            CHILD_CHECK_EQ(checks, parent_dir(staged), "/ram");
            write_host_file("/ram/plain", "plain");
            ::chmod("/ram/plain", 0705);
            stage_move(manifest, "/ram/plain", "/flash/new/sub/plain");

            apply_manifest(manifest, true);
            CHILD_CHECK_EQ(checks, read_host_file("/flash/dir/dest"), content);
            CHILD_CHECK_EQ(checks, mode_of("/flash/dir/dest"), 0640u);
            CHILD_CHECK_EQ(checks, read_host_file("/flash/new/sub/plain"), "plain");
            CHILD_CHECK_EQ(checks, mode_of("/flash/new/sub/plain"), 0705u);
            // The sources stay where they were; no temporary file is left
            // beside the destinations.
            CHILD_CHECK_EQ(checks, read_host_file(staged), content);
            CHILD_CHECK_EQ(checks, read_host_file("/ram/plain"), "plain");
            CHILD_CHECK(checks, names_in("/flash/dir") == std::vector<std::string>{"dest"});
            CHILD_CHECK(checks, names_in("/flash/new/sub") == std::vector<std::string>{"plain"});
            return checks.status();
        });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The spinner turns once per chunk of the large copy and once for the
    // small one.
    EXPECT_EQ(r.out, "|\b/\b-\b\\");
}

TEST(MountedFlashTest, FailedCopyLeavesTheOldDestinationAndIsReported) {
    temp_root root;
    run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "64k"); },
        [&] {
            child_checks checks;
            write_host_file("/flash/dest", "old");
            write_host_file("/ram/big", byte_pattern(200000));
            write_host_file("/ram/small", "small");
            file_manifest manifest;
            stage_move(manifest, "/ram/big", "/flash/dest");
            stage_move(manifest, "/ram/small", "/flash/zz");
            apply_manifest(manifest, false);
            CHILD_CHECK_EQ(checks, read_host_file("/flash/dest"), "old");
            CHILD_CHECK(checks, names_in("/flash") == (std::vector<std::string>{"dest", "zz"}));
            CHILD_CHECK_EQ(checks, read_host_file("/flash/zz"), "small");
            CHILD_CHECK_EQ(checks, read_host_file("/ram/big").size(), 200000u);
            return checks.status();
        });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "copy: No space left on device\n");
}

TEST(MountedFlashTest, HasSpaceForCountsPendingOperations) {
    temp_root root;
    run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "256k"); },
        [&] {
            child_checks checks;
            make_dirs("/flash/boot");
            struct statfs fs;
            ::statfs("/flash", &fs);
            CHILD_CHECK_EQ(checks, fs.f_bsize, 4096);
            CHILD_CHECK(checks, has_space_for(file_manifest{}));

            write_host_file("/ram/big", byte_pattern(300 * 1024));
            write_host_file("/ram/small", byte_pattern(100 * 1024));
            write_host_file("/ram/tiny", "t");
            file_manifest big;
            stage_move(big, "/ram/big", "/flash/x");
            CHILD_CHECK(checks, !has_space_for(big));
            file_manifest small;
            stage_move(small, "/ram/small", "/flash/x");
            stage_symlink(small, "/ram/big", "/flash/link");
            CHILD_CHECK(checks, has_space_for(small));
            // Destinations outside /flash do not count.
            file_manifest elsewhere;
            stage_move(elsewhere, "/ram/big", "/rw/x");
            CHILD_CHECK(checks, has_space_for(elsewhere));

            // A full /flash. /flash/boot is a directory of the same file
            // system here, so only paths under it count toward both.
            write_host_file("/flash/boot/one-block", "1");
            write_host_file("/flash/other", "o");
            fill("/flash/boot/fill");
            CHILD_CHECK(checks, !has_space_for(file_manifest{}));
            file_manifest remove_fill;
            stage_remove(remove_fill, "/flash/boot/fill");
            CHILD_CHECK(checks, has_space_for(remove_fill));
            file_manifest remove_little;
            stage_remove(remove_little, "/flash/boot/one-block");
            CHILD_CHECK(checks, !has_space_for(remove_little));
            // A file from elsewhere replacing the large one frees its blocks.
            file_manifest replace_from_ram;
            stage_move(replace_from_ram, "/ram/tiny", "/flash/boot/fill");
            CHILD_CHECK(checks, has_space_for(replace_from_ram));
            // A file of the same file system replacing it counts as nothing.
            file_manifest replace_in_place;
            stage_move(replace_in_place, "/flash/other", "/flash/boot/fill");
            CHILD_CHECK(checks, !has_space_for(replace_in_place));
            return checks.status();
        });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(MountedFlashTest, HasSpaceForNeedsRoomOnTheBootFileSystemToo) {
    temp_root root;
    run_result r = run_in_private_mounts(
        root.path(),
        [&] {
            return mount_tmpfs(root.host("/flash"), "512k") && make_dirs(root.host("/flash/boot")) &&
                   mount_tmpfs(root.host("/flash/boot"), "128k");
        },
        [&] {
            child_checks checks;
            CHILD_CHECK(checks, has_space_for(file_manifest{}));
            fill("/flash/boot/fill");
            CHILD_CHECK(checks, !has_space_for(file_manifest{}));
            // "/flash/bootimage" lies on /flash, but its path starts with
            // "/flash/boot": its removal counts toward both.
            write_host_file("/flash/bootimage", byte_pattern(100 * 1024));
            file_manifest manifest;
            stage_remove(manifest, "/flash/bootimage");
            CHILD_CHECK(checks, has_space_for(manifest));
            return checks.status();
        });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(MountedFlashTest, StagedFileGoesToFlashOnlyWithTenPercentToSpare) {
    temp_root root;
    run_result r = run_in_private_mounts(
        root.path(), [&] { return mount_tmpfs(root.host("/flash"), "64k"); },
        [&] {
            child_checks checks;
            struct statfs fs;
            ::statfs("/flash", &fs);
            std::uint64_t room = static_cast<std::uint64_t>(fs.f_bsize) * fs.f_bfree;
            std::uint32_t largest = static_cast<std::uint32_t>(room);
            while (largest + largest / 10 >= room) --largest;
            CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/var/x", largest), "/flash");
            CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/var/x", largest + 1), "/ram");
            CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/x", 1000000), "/ram");
            // Size plus a tenth of a size near 4 GiB does not wrap around to
            // a small number that would seem to fit.
            CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/x", 3904515724u), "/ram");
            file_manifest manifest;
            std::ofstream out;
            stage_new_file(out, manifest, "/flash/x", 1000000, 0);
            CHILD_CHECK_EQ(checks, parent_dir(manifest.entries.at("/flash/x").source), "/ram");
            stage_new_file(out, manifest, "/flash/x", 100, 0);
            CHILD_CHECK_EQ(checks, parent_dir(manifest.entries.at("/flash/x").source), "/flash");
            return checks.status();
        });
    SKIP_WITHOUT_MOUNTS(r);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(MountedFlashTest, UnmountedBootCountsAsNoRoomUnlessRemovalsFreeSome) {
    temp_root root;
    ::rmdir(root.host("/flash/boot").c_str());
    root.write_file("/flash/bootimage", std::string(17, 'b'));
    root.write_file("/flash/bootimage.old", std::string(16, 'b'));
    root.write_file("/flash/other", std::string(4096, 'o'));
    run_result r = run_in_child(root.path(), [] {
        child_checks checks;
        // No file system answers for /flash/boot: block size 1, no free blocks.
        CHILD_CHECK(checks, !has_space_for(file_manifest{}));
        file_manifest other;
        stage_remove(other, "/flash/other");
        CHILD_CHECK(checks, !has_space_for(other));
        file_manifest sixteen;
        stage_remove(sixteen, "/flash/bootimage.old");
        CHILD_CHECK(checks, !has_space_for(sixteen));
        file_manifest seventeen;
        stage_remove(seventeen, "/flash/bootimage");
        CHILD_CHECK(checks, has_space_for(seventeen));
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
