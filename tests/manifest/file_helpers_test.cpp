#include "manifest/file_helpers.h"

#include <gtest/gtest.h>
#include <libgen.h>

#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

std::uint32_t now = 0;
std::uint32_t fixed_clock() { return now; }

}  // namespace

TEST(FileHelpersTest, ParentDirIsWhatDirnameGives) {
    for (std::string path : {"/flash/var/pdb/net", "/flash/var/pdb/net///", "/flash//net", "/flash", "/", "///", "net", "net/",
                             "a/b", "", ".", "..", "/ram/tmpAbC123"}) {
        std::string copy = path;
        EXPECT_EQ(parent_dir(path), std::string(::dirname(copy.data()))) << "[" << path << "]";
    }
    temp_root root;
    EXPECT_TRUE(make_dirs(root.host("/flash/a/b/c")) && make_dirs(root.host("/flash/a/b/c")) && make_dirs(root.host("/flash/a/b/d/")));
    EXPECT_TRUE(root.exists("/flash/a/b/c") && root.exists("/flash/a/b/d") && make_dirs("/"));
    root.write_file("/flash/file", "f");
    EXPECT_FALSE(make_dirs(root.host("/flash/file/sub/dir")));
}

// The content and permission bits (through the umask), over a longer destination; a source that is missing, no regular file or
// fails to read, and a destination that cannot be made, fail the copy. The spinner turns once per 16 KiB chunk when asked to.
TEST(FileHelpersTest, CopyFile) {
    temp_root root;
    const struct {
        std::string source;
        std::size_t size;
        bool good;
        const char* spinner;
    } cases[] = {
        {"/ram/src", 3 * 16384 + 5, true, "|\b/\b-\b\\"}, {"/ram/src", 16384, true, "|"}, {"/ram/src", 0, true, ""},
        {"/ram/missing", 0, false, ""}, {"/ram", 0, false, ""}, {"/proc/self/mem", 0, false, ""},
    };
    root.write_file("/ram/dst", std::string(100000, 'x'));
    for (const auto& c : cases) {
        if (c.source == "/ram/src") root.write_file(c.source, byte_pattern(c.size));
        if (&c != cases) ::unlink(root.host("/ram/dst").c_str());  // the first copy goes over a longer file
        ::chmod(root.host("/ram/src").c_str(), 0751);
        const std::string source = c.source[1] == 'p' ? c.source : root.host(c.source);
        run_result r = run_in_child("", [&] {
            spinner() = spinner_state{};
            set_uptime_source_for_testing([] { return now += 100; });
            ::umask(022);
            return copy_file(source, root.host("/ram/dst"), true) ? 0 : 1;
        });
        EXPECT_EQ(r.status, c.good ? 0 : 1) << c.source;
        EXPECT_EQ(r.out, c.spinner) << c.source << " " << c.size;
        if (c.good) { EXPECT_TRUE(root.read_file("/ram/dst") == byte_pattern(c.size) && (&c == cases || mode_of(root.host("/ram/dst")) == 0751)) << c.size; }
    }
    EXPECT_FALSE(copy_file(root.host("/ram/src"), root.host("/flash/no/dir/x"), false));
}

// At most five steps a second; after a long pause one step per call, not a jump to the present. The ticks come from the kernel's
// clock otherwise.
TEST(FileHelpersTest, SpinnerAndTicks) {
    run_result r = run_in_child("", [] {
        spinner() = spinner_state{};
        set_uptime_source_for_testing(fixed_clock);
        for (std::uint32_t at : {1000, 1010, 1020, 1021, 1030, 1100, 1100, 1100, 1100, 1100}) {
            now = at;
            advance_spinner();
            std::fputc('.', stdout);
        }
        set_uptime_source_for_testing(nullptr);
        const std::uint32_t first = uptime_ticks();
        return uptime_ticks() - first < 1000 && first > 30000 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "|...\b/..\b-.\b\\.\b|...");
}
