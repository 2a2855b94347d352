#include "manifest/file_helpers.h"

#include <gtest/gtest.h>
#include <libgen.h>

#include "support/host_files.h"

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
    EXPECT_FALSE(make_dirs(root.host("/flash/file/sub/dir")) || copy_file(root.host("/flash/file"),
        root.host("/flash/no/dir/x"), false));
    for (const auto& [source, size, spinner] : {std::tuple{"/ram/src", 3 * 16384 + 5, "|\b/\b-\b\\"}, {"/ram/src",
        16384, "|"}, {"/ram/src", 0, ""},
                                                {"/ram/missing", -1, ""}, {"/ram", -1, ""}, {"/proc/self/mem", -1,
                                                    ""}}) {
        if (size >= 0) root.write_file(source, byte_pattern(static_cast<std::size_t>(size))),
            ::chmod(root.host(source).c_str(), 0751);
        if (size != 3 * 16384 + 5) ::unlink(root.host("/ram/dst").c_str());  // the first copy goes over a longer file
        const run_result r = run_in_child("", [&] {
            static std::uint32_t now = 1000;
            set_uptime_source_for_testing([] { return now += 100; });
            return ::umask(022), copy_file(source[1] == 'p' ? source : root.host(source), root.host("/ram/dst"), true)
                ? 0 : 1;
        });
        EXPECT_EQ(r.out + std::to_string(r.status), spinner + std::to_string(size < 0)) << source;
        EXPECT_TRUE(size < 0 || (root.read_file("/ram/dst") == byte_pattern(static_cast<std::size_t>(size))
            && (size == 3 * 16384 + 5 || mode_of(root.host("/ram/dst")) == 0751))) << size;
    }
    const run_result r = run_in_child("", [] {
        static std::uint32_t now;
        set_uptime_source_for_testing([] { return now; });
        for (std::uint32_t at : {1000, 1010, 1020, 1021, 1030, 1100, 1100, 1100, 1100, 1100}) now = at,
            advance_spinner(), std::fputc('.', stdout);
        set_uptime_source_for_testing(nullptr);
        const std::uint32_t first = uptime_ticks();
        return uptime_ticks() - first < 1000 && first > 30000 ? 0 : 1;
    });
    EXPECT_EQ(r.out + std::to_string(r.status), "|...\b/..\b-.\b\\.\b|...0");
}
