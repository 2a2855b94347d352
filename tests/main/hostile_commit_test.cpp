// "--commit" and "--cancel" on saved manifests that no installer run wrote.
// Each run happens in a temporary root full of bait; the test compares
// every path of the root before and after.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "manifest/file_helpers.h"
#include "support/host_files.h"
#include "support/limited_run.h"

namespace {

const std::string finishing = "finishing install... \b \n";
const std::string refused = "ERROR: refused manifest line: ";
// A destination 64 KiB long, of many components.
const std::string deep = [] {
    std::string path = "/flash";
    while (path.size() < 65536) path += "/d";
    return path;
}();

struct manifest_case {
    const char* title;
    std::vector<std::string> args;
    std::string manifest;  // /ram/MANIFEST; "fifo" makes it a FIFO
    std::string out;
    std::vector<std::string> gone;   // snapshot lines the run removes
    std::vector<std::string> added;  // and those it adds
    int status = 0;
};

void lay_bait(const temp_root& root, const std::string& manifest) {
    root.write_file("/etc/passwd", "root");
    root.write_file("/etc/tmpAbc123", "bait");
    root.write_file("/tmpAbc123", "bait");
    root.write_file("/flash/keep", "keep");
    root.write_file("/ram/x", "staged");
    ::symlink("/etc/passwd", root.host("/ram/link").c_str());
    root.write_file("/other/ram/MANIFEST", "M /flash/x /ram/tmpAbc123\n");
    root.write_file("/other/ram/tmpAbc123", "staged");
    if (manifest == "fifo")
        ::mkfifo(root.host("/ram/MANIFEST").c_str(), 0644);
    else
        root.write_file("/ram/MANIFEST", manifest);
}

std::vector<std::string> minus(std::vector<std::string> a, const std::vector<std::string>& b) {
    std::vector<std::string> out;
    std::sort(a.begin(), a.end());
    std::vector<std::string> sorted_b = b;
    std::sort(sorted_b.begin(), sorted_b.end());
    std::set_difference(a.begin(), a.end(), sorted_b.begin(), sorted_b.end(), std::back_inserter(out));
    return out;
}

}  // namespace

TEST(HostileCommitTest, ForeignLinesAreRefusedAndNothingOutsideFlashChanges) {
    const std::string long_line = ("refused manifest line: M " + deep + " /ram/x").substr(0, 255);
    const manifest_case cases[] = {
        {"removal of a system directory", {"--commit"}, "U /etc\n", refused + "U /etc\n" + finishing, {}, {}},
        {"move over a system file", {"--commit"}, "M /etc/passwd /ram/x\n",
         refused + "M /etc/passwd /ram/x\n" + finishing, {}, {}},
        {"climbing out of /flash", {"--commit"}, "U /flash/../etc/passwd\n",
         refused + "U /flash/../etc/passwd\n" + finishing, {}, {}},
        {"relative path", {"--commit"}, "U flash/keep\n", refused + "U flash/keep\n" + finishing, {}, {}},
        {"NUL cutting a path short", {"--commit"}, std::string("U /flash/keep\0.old\n", 19),
         refused + "U /flash/keep?.old\n" + finishing, {}, {}},
        {"directory as a source", {"--commit"}, "M /flash/y /etc\n", refused + "M /flash/y /etc\n" + finishing, {}, {}},
        {"link as a source", {"--commit"}, "M /flash/y /ram/link\n",
         refused + "M /flash/y /ram/link\n" + finishing, {}, {}},
        {"link to a directory", {"--commit"}, "L /flash/l /etc\n", refused + "L /flash/l /etc\n" + finishing, {}, {}},
        {"path longer than PATH_MAX beside a sound line", {"--commit"}, "U /flash/keep\nM " + deep + " /ram/x\n",
         "ERROR: " + long_line + "\n" + finishing, {"/flash/keep = keep"}, {}},
        {"sound line", {"--commit"}, "M /flash/new /ram/x\n", finishing, {"/ram/x = staged"},
         {"/flash/new = staged"}},
        {"FIFO for a manifest", {"--commit"}, "fifo", finishing, {}, {}},
        {"root that is missing", {"-r", "/missing", "--commit"}, "U /flash/keep\n", "", {}, {}, 1},
        {"staged-looking file in /", {"--cancel"}, "M /flash/x /tmpAbc123\n", "",
         {"/ram/MANIFEST = M /flash/x /tmpAbc123\n"}, {}},
        {"staged-looking file beside a foreign destination", {"--cancel"}, "M /etc/x /etc/tmpAbc123\n",
         refused + "M /etc/x /etc/tmpAbc123\n", {"/ram/MANIFEST = M /etc/x /etc/tmpAbc123\n"}, {}},
        {"FIFO for a manifest, cancelled", {"--cancel"}, "fifo", "", {"/ram/MANIFEST (fifo)"}, {}},
        {"cancel inside the named root", {"-r", "/other", "--cancel"}, "U /flash/keep\n", "",
         {"/other/ram/MANIFEST = M /flash/x /ram/tmpAbc123\n", "/other/ram/tmpAbc123 = staged"}, {}},
    };
    for (const manifest_case& c : cases) {
        temp_root root;
        lay_bait(root, c.manifest);
        const std::vector<std::string> before = snapshot(root.path());
        run_result r = run_limited(root.path(), [&] { return call_installer_main(c.args); });
        EXPECT_EQ(r.status, c.status) << c.title << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.title;
        const std::vector<std::string> after = snapshot(root.path());
        EXPECT_EQ(minus(before, after), c.gone) << c.title;
        EXPECT_EQ(minus(after, before), c.added) << c.title;
    }
}

TEST(HostileCommitTest, DirectoriesOfAVeryLongPathCostNoCopyPerLevel) {
    temp_root root;
    root.write_file("/flash/keep", "keep");
    // Below a plain file no level can be made, so every level is tried; a
    // recursion would hold a copy of its parent path at each of them, about
    // a gigabyte for this path, far above the limit of the run.
    run_result r = run_limited(root.path(), [] { return make_dirs("/flash/keep" + deep.substr(6)) ? 1 : 0; });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(root.read_file("/flash/keep"), "keep");
}
