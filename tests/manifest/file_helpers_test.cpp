#include "manifest/file_helpers.h"

#include <gtest/gtest.h>
#include <libgen.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

std::uint32_t fake_now = 0;
std::uint32_t fake_clock() { return fake_now; }
// A clock that moves on 100 ticks (a second) at every reading.
std::uint32_t fast_clock() { return fake_now += 100; }

TEST(FileHelpersTest, ParentDirIsWhatDirnameGives) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/flash/var/pdb/net", "/flash/var/pdb"},
        {"/flash/var/pdb/net/", "/flash/var/pdb"},
        {"/flash/var/pdb/net///", "/flash/var/pdb"},
        {"/flash//net", "/flash"},
        {"/flash", "/"},
        {"/", "/"},
        {"///", "/"},
        {"net", "."},
        {"net/", "."},
        {"a/b", "a"},
        {"", "."},
        {".", "."},
        {"..", "."},
        {"/ram/tmpAbC123", "/ram"},
    };
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(parent_dir(path), parent) << "path [" << path << "]";
        std::vector<char> copy(path.begin(), path.end());
        copy.push_back('\0');
        EXPECT_EQ(parent_dir(path), std::string(::dirname(copy.data()))) << "path [" << path << "]";
    }
}

TEST(FileHelpersTest, MakeDirsCreatesEveryMissingLevel) {
    temp_root root;
    EXPECT_TRUE(make_dirs(root.host("/flash/a/b/c")));
    EXPECT_TRUE(root.exists("/flash/a/b/c"));
    EXPECT_TRUE(make_dirs(root.host("/flash/a/b/c")));  // already there
    EXPECT_TRUE(make_dirs(root.host("/flash/a/b/d/")));
    EXPECT_TRUE(root.exists("/flash/a/b/d"));
    EXPECT_TRUE(make_dirs("/"));
    root.write_file("/flash/file", "f");
    EXPECT_FALSE(make_dirs(root.host("/flash/file/sub/dir")));
    EXPECT_FALSE(root.exists("/flash/file/sub"));
}

TEST(FileHelpersTest, CopyFileKeepsContentAndPermissionBits) {
    temp_root root;
    const std::string content = byte_pattern(3 * 16384 + 5);
    root.write_file("/ram/src", content);
    ::chmod(root.host("/ram/src").c_str(), 0751);
    mode_t old_umask = ::umask(022);  // the creation mode passes through the umask
    EXPECT_TRUE(copy_file(root.host("/ram/src"), root.host("/flash/dst"), false));
    ::umask(old_umask);
    EXPECT_EQ(root.read_file("/flash/dst"), content);
    EXPECT_EQ(mode_of(root.host("/flash/dst")), 0751u);

    // An existing, longer destination is truncated.
    root.write_file("/ram/short", "short");
    EXPECT_TRUE(copy_file(root.host("/ram/short"), root.host("/flash/dst"), false));
    EXPECT_EQ(root.read_file("/flash/dst"), "short");

    root.write_file("/ram/empty", "");
    EXPECT_TRUE(copy_file(root.host("/ram/empty"), root.host("/flash/empty"), false));
    EXPECT_TRUE(root.exists("/flash/empty"));

    EXPECT_FALSE(copy_file(root.host("/ram/missing"), root.host("/flash/x"), false));
    EXPECT_FALSE(copy_file(root.host("/ram"), root.host("/flash/x"), false));  // not a regular file
    EXPECT_FALSE(root.exists("/flash/x"));
    EXPECT_FALSE(copy_file(root.host("/ram/src"), root.host("/flash/no/dir/x"), false));
}

TEST(FileHelpersTest, CopyFileAdvancesTheSpinnerOncePerChunk) {
    temp_root root;
    const std::vector<std::pair<std::size_t, std::string>> cases = {
        {0, ""},
        {16384, "|"},
        {16385, "|\b/"},
        {4 * 16384 + 1, "|\b/\b-\b\\\b|"},
    };
    for (const auto& [size, drawn] : cases) {
        root.write_file("/ram/src", byte_pattern(size));
        run_result r = run_in_child("", [&] {
            spinner() = spinner_state{};
            fake_now = 1000;
            set_uptime_source_for_testing(fast_clock);
            return copy_file(root.host("/ram/src"), root.host("/ram/dst"), true) ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, drawn) << "size " << size;
        // Without the spinner nothing is drawn.
        r = run_in_child("", [&] { return copy_file(root.host("/ram/src"), root.host("/ram/dst"), false) ? 0 : 1; });
        EXPECT_EQ(r.out, "");
    }
}

TEST(FileHelpersTest, SpinnerTurnsAtMostFiveTimesASecondAndCatchesUpStepByStep) {
    run_result r = run_in_child("", [] {
        spinner() = spinner_state{};
        set_uptime_source_for_testing(fake_clock);
        auto at = [](std::uint32_t now) {
            fake_now = now;
            advance_spinner();
            std::fputc('.', stdout);  // marks each call in the output
        };
        at(1000);  // first draw: no backspace
        at(1010);
        at(1020);  // 20 ticks is not enough
        at(1021);
        at(1030);
        // After a long pause: one step per call, 20 ticks each, not a jump
        // to the present.
        at(1100);
        at(1100);
        at(1100);
        at(1100);
        at(1100);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "|...\b/..\b-.\b\\.\b|...");
}

TEST(FileHelpersTest, UptimeTicksComeFromTheKernelClock) {
    run_result r = run_in_child("", [] {
        set_uptime_source_for_testing(nullptr);
        std::uint32_t first = uptime_ticks();
        std::uint32_t second = uptime_ticks();
        // The clock does not run backwards (differences are taken modulo 2^32).
        return second - first < 1000 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0);
}

}  // namespace
