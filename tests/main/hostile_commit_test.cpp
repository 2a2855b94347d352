// "--commit" and "--cancel" on saved manifests that no installer run wrote, in a temporary root full of bait: every
// path of the root is compared before and after.
#include <gtest/gtest.h>

#include <set>

#include "manifest/file_helpers.h"
#include "support/host_files.h"
#include "support/limited_run.h"

namespace {

// 64 KiB of path, two bytes per component.
const std::string deep = "/flash" + [] {
    std::string tail;
    while (tail.size() < 65536) tail += "/d";
    return tail;
}();

// The refusals of lines, then what ends the run.
std::string refused(const std::vector<std::string>& lines, const std::string& end = "finishing install... \b \n") {
    std::string text;
    for (const std::string& line : lines) text += "ERROR: refused manifest line: " + line + "\n";
    return text + end;
}

}  // namespace

TEST(HostileCommitTest, ForeignLinesAreRefusedAndNothingOutsideFlashChanges) {
    const std::pair<std::string, std::string> bait[] = {
        {"/etc/passwd", "root"},      {"/etc/tmpAbc123", "bait"}, {"/tmpAbc123", "bait"},
        {"/flash/keep", "keep"},      {"/ram/x", "staged"},       {"/other/ram/tmpAbc123", "staged"},
        {"/flash/tmpAbc123", "staged"}, {"/other/ram/MANIFEST", "M /flash/x /ram/tmpAbc123\n"},
    };
    const std::string cancel = "M /flash/x /tmpAbc123\nM /flash/y /flash/tmpAbc123\nM /etc/x /etc/tmpAbc123\n";
    const struct {
        std::vector<std::string> args;
        std::string manifest;  // "fifo": /ram/MANIFEST is a FIFO
        std::string out;
        std::set<std::string> gone, added;  // snapshot lines
        int status;
    } cases[] = {
        {{"--commit"}, std::string("U /etc\nM /etc/passwd /ram/x\nU /flash/../etc/passwd\nU flash/keep\nU "
                                   "/flash/keep\0.old\n", 83),
         refused({"U /etc", "M /etc/passwd /ram/x", "U /flash/../etc/passwd", "U /flash/keep?.old", "U flash/keep"}),
         {}, {}, 0},
        {{"--commit"}, "M /flash/y /etc\nM /flash/z /ram/link\nL /flash/l /etc\nM /flash/new /ram/x\n",
         refused({"L /flash/l /etc", "M /flash/y /etc", "M /flash/z /ram/link"}),
         {"/ram/x = staged", "/ram/MANIFEST = M /flash/y /etc\nM /flash/z /ram/link\nL /flash/l /etc\nM /flash/new /ram/x\n"},
         {"/flash/new = staged"}, 0},
        {{"--commit"}, "U /flash/keep\nM " + deep + " /ram/x\n",
         "ERROR: " + ("refused manifest line: M " + deep).substr(0, 255) + "\n" + refused({}),
         {"/flash/keep = keep", "/ram/MANIFEST = U /flash/keep\nM " + deep + " /ram/x\n"}, {}, 0},
        {{"--commit"}, "fifo", refused({}), {}, {}, 0},
        {{"-r", "/missing", "--commit"}, "U /flash/keep\n", "", {}, {}, 1},
        {{"-r", "/missing", "--cancel"}, "U /flash/keep\n", "", {}, {}, 1},
        {{"--cancel"}, cancel, refused({"M /etc/x /etc/tmpAbc123"}, ""),
         {"/flash/tmpAbc123 = staged", "/ram/MANIFEST = " + cancel}, {}, 0},
        {{"--cancel"}, "fifo", "", {"/ram/MANIFEST (fifo)"}, {}, 0},
        {{"-r", "/other", "--cancel"}, "U /flash/keep\n", "",
         {"/other/ram/MANIFEST = M /flash/x /ram/tmpAbc123\n", "/other/ram/tmpAbc123 = staged"}, {}, 0},
        {{"--cancel", "-r", "/other"}, "U /flash/keep\n", "",
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
        const std::vector<std::string> before = snapshot(root.path());
        const run_result r = run_limited(root.path(), [&] { return call_installer_main(c.args); });
        const std::vector<std::string> after = snapshot(root.path());
        std::set<std::string> gone(before.begin(), before.end()), added(after.begin(), after.end());
        for (const std::string& line : after) gone.erase(line);
        for (const std::string& line : before) added.erase(line);
        EXPECT_EQ(r.status, c.status) << c.manifest << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(gone, c.gone) << c.manifest;
        EXPECT_EQ(added, c.added) << c.manifest;
    }
}

// Below a plain file every level is tried: a recursion holding a copy of its parent path at each one would take about
// a gigabyte.
TEST(HostileCommitTest, MakingTheDirectoriesOfAVeryLongPathCostsNoCopyPerLevel) {
    temp_root root;
    root.write_file("/flash/keep", "keep");
    const run_result r = run_limited(root.path(), [] { return make_dirs("/flash/keep" + deep.substr(6)) ? 1 : 0; });
    EXPECT_EQ(r.status, 0) << r.err;
}
