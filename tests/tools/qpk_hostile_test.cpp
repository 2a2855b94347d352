// "qpk inspect" and "qpk verify" on files that never end, would make them
// wait for ever, or cost far more memory than their size when kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qpk/inspect.h"
#include "support/host_files.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"

namespace {

struct tool_case {
    const char* title;
    std::string command;  // "inspect" runs in this process, "verify" the program
    std::string path;
    int status;
    std::string error;  // a piece of standard error
    std::size_t entries = 0;  // file entry lines that inspect prints
};

// Runs inspect with its output in a temporary file (a listing of long
// names is far larger than the limit of the run) and prints how many file
// entry lines it holds.
int inspect_counting_entries(const std::string& path) {
    std::FILE* listing = std::tmpfile();
    int status = qpk::inspect_file(path, listing, stderr);
    std::rewind(listing);
    std::size_t entries = 0;
    char chunk[256];
    // A chunk begins a line exactly when the chunk before it ended one.
    for (bool line_start = true; std::fgets(chunk, sizeof chunk, listing);) {
        if (line_start && std::string(chunk).rfind("    100644 ", 0) == 0) ++entries;
        line_start = std::string(chunk).back() == '\n';
    }
    std::printf("%zu entries\n", entries);
    return status;
}

}  // namespace

TEST(QpkHostileTest, InspectAndVerifyEndSmallOnAnyFile) {
    temp_root dir;
    const std::string fifo = dir.host("/tmp/fifo.qpk");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string names = dir.host("/tmp/names.qpk");
    // 600 names of 64 KiB: 39 MB when kept, in a file of a few kilobytes.
    write_host_file(names, hostile_files::archive_of_long_names(600, 65535));
    const std::string members = dir.host("/tmp/members.vpk");
    write_host_file(members, hostile_files::bundle_of_bare_members("b", 1025));

    const tool_case cases[] = {
        {"device that never ends", "inspect", "/dev/zero", 1, "cannot open /dev/zero: not a regular file"},
        {"FIFO", "inspect", fifo, 1, "not a regular file"},
        {"directory", "inspect", dir.host("/tmp"), 1, "not a regular file"},
        {"names that cost when kept", "inspect", names, 0, "", 600},
        {"bundle of too many members", "inspect", members, 1, "more than 1024 members: the installer refuses it"},
        {"device that never ends", "verify", "/dev/zero", 1, "cannot open /dev/zero: not a regular file"},
        {"FIFO", "verify", fifo, 1, "not a regular file"},
    };
    for (const tool_case& c : cases) {
        const bool inspect = c.command == "inspect";
        run_result r = inspect ? run_limited("", [&] { return inspect_counting_entries(c.path); })
                               : run_program("/usr/bin/timeout", {"30", QPK_BIN, c.command, c.path});
        EXPECT_EQ(r.status, c.status) << c.title << " (" << c.command << "): " << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.title << " (" << c.command << "): " << r.err;
        if (inspect) {
            EXPECT_EQ(r.out, std::to_string(c.entries) + " entries\n") << c.title;
        }
    }
}
