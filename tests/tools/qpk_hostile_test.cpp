// "qpk inspect" and "qpk verify" on files that never end, would make them
// wait for ever, or cost far more memory than their size when kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "qpk/inspect.h"
#include "support/host_files.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"

TEST(QpkHostileTest, InspectAndVerifyEndSmallOnAnyFile) {
    temp_root dir;
    const std::string fifo = dir.host("/tmp/fifo.qpk"), names = dir.host("/tmp/names.qpk");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // 600 names of 64 KiB: 39 MB when kept, from a file of a few kilobytes.
    qpk::package_contents package;
    package.files = std::vector<qpk::file_item>(600, qpk::regular_file(std::string(65535, 'n'), ""));
    write_host_file(names, qpk::build_package(package));
    write_host_file(dir.host("/tmp/members.vpk"), hostile_files::bundle_of_bare_members("b", 1025));
    const struct {
        std::string command, path;
        int status;
        std::string error;  // a piece of standard error
    } cases[] = {
        {"inspect", "/dev/zero", 1, "cannot open /dev/zero: not a regular file"},
        {"inspect", fifo, 1, "not a regular file"},
        {"inspect", dir.host("/tmp"), 1, "not a regular file"},
        {"inspect", names, 0, ""},
        {"inspect", dir.host("/tmp/members.vpk"), 1, "more than 1024 members: the installer refuses it"},
        {"verify", fifo, 1, "not a regular file"},
    };
    for (const auto& c : cases) {
        run_result r = run_limited("", [&] {
            if (c.command == "verify") return exec_program(QPK_BIN, {"verify", c.path});
            std::FILE* listing = std::fopen("/dev/null", "w");
            return qpk::inspect_file(c.path, listing, stderr);
        }, c.command == "verify" ? 0 : 32);
        EXPECT_EQ(r.status, c.status) << c.command << " " << c.path << ": " << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.command << " " << c.path << ": " << r.err;
    }
}
