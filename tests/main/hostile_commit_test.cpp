// "--commit" and "--cancel" on saved manifests that no installer run wrote,
// in a temporary root full of bait: every path of the root is compared
// before and after.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "manifest/file_helpers.h"
#include "support/host_files.h"
#include "support/limited_run.h"

namespace {

const std::string done = "finishing install... \b \n";
const std::string refused = "ERROR: refused manifest line: ";
// 64 KiB of path, two bytes per component.
const std::string deep = "/flash" + [] {
    std::string tail;
    while (tail.size() < 65536) tail += "/d";
    return tail;
}();

const std::pair<std::string, std::string> bait[] = {
    {"/etc/passwd", "root"},         {"/etc/tmpAbc123", "bait"},
    {"/tmpAbc123", "bait"},          {"/flash/keep", "keep"},
    {"/ram/x", "staged"},            {"/other/ram/tmpAbc123", "staged"},
    {"/flash/tmpAbc123", "staged"},
    {"/other/ram/MANIFEST", "M /flash/x /ram/tmpAbc123\n"},
};

std::vector<std::string> minus(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

}  // namespace

TEST(HostileCommitTest, ForeignLinesAreRefusedAndNothingOutsideFlashChanges) {
    const struct {
        std::vector<std::string> args;
        std::string manifest;  // "fifo": /ram/MANIFEST is a FIFO
        std::string out;
        std::vector<std::string> gone, added;  // sorted snapshot lines
        int status;
    } cases[] = {
        {{"--commit"}, std::string("U /etc\nM /etc/passwd /ram/x\nU /flash/../etc/passwd\nU flash/keep\nU "
            "/flash/keep\0.old\n", 83),
         refused + "U /etc\n" + refused + "M /etc/passwd /ram/x\n" + refused + "U /flash/../etc/passwd\n" + refused +
             "U /flash/keep?.old\n" + refused + "U flash/keep\n" + done, {}, {}, 0},
        {{"--commit"}, "M /flash/y /etc\nM /flash/z /ram/link\nL /flash/l /etc\nM /flash/new /ram/x\n",
         refused + "L /flash/l /etc\n" + refused + "M /flash/y /etc\n" + refused + "M /flash/z /ram/link\n" + done,
         {"/ram/x = staged"}, {"/flash/new = staged"}, 0},
        {{"--commit"}, "U /flash/keep\nM " + deep + " /ram/x\n",
         "ERROR: " + ("refused manifest line: M " + deep).substr(0, 255) + "\n" + done, {"/flash/keep = keep"}, {}, 0},
        {{"--commit"}, "fifo", done, {}, {}, 0},
        {{"-r", "/missing", "--commit"}, "U /flash/keep\n", "", {}, {}, 1},
        {{"-r", "/missing", "--cancel"}, "U /flash/keep\n", "", {}, {}, 1},
        {{"--cancel"}, "M /flash/x /tmpAbc123\nM /flash/y /flash/tmpAbc123\nM /etc/x /etc/tmpAbc123\n",
         refused + "M /etc/x /etc/tmpAbc123\n",
         {"/flash/tmpAbc123 = staged", "/ram/MANIFEST = M /flash/x /tmpAbc123\nM /flash/y /flash/tmpAbc123\nM /etc/x "
             "/etc/tmpAbc123\n"},
         {}, 0},
        {{"--cancel"}, "fifo", "", {"/ram/MANIFEST (fifo)"}, {}, 0},
        {{"-r", "/other", "--cancel"}, "U /flash/keep\n", "",
         {"/other/ram/MANIFEST = M /flash/x /ram/tmpAbc123\n", "/other/ram/tmpAbc123 = staged"}, {}, 0},
    };
    for (const auto& c : cases) {
        temp_root root;
        for (const auto& [path, text] : bait) root.write_file(path, text);
        ::symlink("/etc/passwd", root.host("/ram/link").c_str());
        if (c.manifest == "fifo")
            ::mkfifo(root.host("/ram/MANIFEST").c_str(), 0644);
        else
            root.write_file("/ram/MANIFEST", c.manifest);
        std::vector<std::string> before = snapshot(root.path());
        run_result r = run_limited(root.path(), [&] { return call_installer_main(c.args); });
        std::vector<std::string> after = snapshot(root.path());
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(r.status, c.status) << c.manifest << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(minus(before, after), c.gone) << c.manifest;
        EXPECT_EQ(minus(after, before), c.added) << c.manifest;
    }
}

TEST(HostileCommitTest, MakingTheDirectoriesOfAVeryLongPathCostsNoCopyPerLevel) {
    temp_root root;
    root.write_file("/flash/keep", "keep");
    // Below a plain file every level is tried: a recursion holding a copy of
    // its parent path at each one would take about a gigabyte.
    run_result r = run_limited(root.path(), [] { return make_dirs("/flash/keep" + deep.substr(6)) ? 1 : 0; });
    EXPECT_EQ(r.status, 0) << r.err;
}
