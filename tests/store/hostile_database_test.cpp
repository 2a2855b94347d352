// The database loader, "--show" and the download scan on files that are
// FIFOs, far too large, or hold control bytes, in runs limited in time and
// memory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "console/context.h"
#include "store/database.h"
#include "store/repository.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"
#include "support/sample_packages.h"

namespace {

const std::string net = "/flash/var/pdb/net/";
const std::string sound = "net v=7 a=0 d=0 b=0 f=1\n";
// Sound lines, one byte too many of them.
const std::string too_large = [] {
    std::string text;
    while (text.size() <= max_meta_file_size) text += "a 1 2\n";
    return text;
}();

std::string image_with_note(const std::string& note) {
    qpk::package_contents c = samples::single_contents("noted", false);
    c.note = note;
    return qpk::build_package(c);
}

// "--show", then a line per record loaded, sorted, after "records:".
int show_and_describe() {
    int status = call_installer_main({"--show"});
    std::vector<std::string> lines;
    for (const auto& r : context().packages)
        lines.push_back(r->name + " v=" + std::to_string(r->version) + " a=" + std::to_string(r->scheduled_action) +
                        " d=" + std::to_string(r->disabled) + " b=" + std::to_string(r->bundle) +
                        " f=" + std::to_string(r->files.size()) + "\n");
    std::sort(lines.begin(), lines.end());
    std::fputs("records:\n", stdout);
    for (const std::string& line : lines) std::fputs(line.c_str(), stdout);
    return status;
}

}  // namespace

TEST(HostileDatabaseTest, LoadingEndsSmallAndShowsOnlyPrintableText) {
    const struct {
        std::string path;     // laid over the sound record "net"
        std::string content;  // "fifo": a FIFO
        std::string records;  // the record lines after loading
        std::string shown;    // a piece of what "--show" prints
    } cases[] = {
        {net + "version", "fifo", "net v=0 a=1 d=0 b=0 f=1\n", ""},
        {net + "deps", "fifo", sound, ""},
        {net + "files", "fifo", "net v=7 a=0 d=0 b=1 f=0\n", ""},
        {net + "disabled", "fifo", sound, ""},
        {"/ram/pdb/net/schedule", "fifo", sound, ""},
        {net + "deps", too_large, "net v=7 a=1 d=0 b=0 f=1\n", ""},
        {net + "files", too_large, "net v=7 a=1 d=0 b=0 f=0\n", ""},
        {"/flash/var/pdb/image", image_with_note(""), sound, ""},
        {net + "image", hostile_files::bundle_of_bare_members("net", 100000), sound, "ERROR: broken package net\n"},
        {net + "image", image_with_note("a\nb\x1b[2J\x7f"),
         sound + "noted v=" + std::to_string(samples::single_contents("", false).version) + " a=0 d=0 b=0 f=0\n",
         " a?b?[2J?\n"},
        {"/flash/var/pdb/e\x1b[2J\tvil/version", "8 0\n", "e\x1b[2J\tvil v=8 a=0 d=0 b=1 f=0\n" + sound, "e?[2J?vil "},
    };
    for (const auto& c : cases) {
        temp_root root;
        root.write_file(net + "version", "7 0\n");
        root.write_file(net + "files", "bin/x\n");
        root.write_file(c.path, c.content);
        if (c.content == "fifo") {
            ::unlink(root.host(c.path).c_str());
            ::mkfifo(root.host(c.path).c_str(), 0644);
        }
        run_result r = run_limited(root.path(), show_and_describe);
        EXPECT_EQ(r.status, 0) << c.path << r.err;
        const std::string table = r.out.substr(0, r.out.find("records:\n"));
        EXPECT_EQ(r.out.substr(std::min(r.out.size(), table.size() + 9)), c.records) << c.path;
        EXPECT_NE(table.find(c.shown), std::string::npos) << c.path << table;
        EXPECT_EQ(table.find_first_of("\x1b\t\r\x7f"), std::string::npos) << c.path;
    }
}

TEST(HostileDatabaseTest, DownloadScanRefusesABundleOfTooManyMembers) {
    temp_root root;
    root.write_file("/rw/pckg/b.vpk", hostile_files::bundle_of_bare_members("b", 100000));
    run_result r = run_limited(root.path(), [] {
        candidate_list candidates;
        scan_download_dir(context(), "/rw/pckg/", candidates);
        return static_cast<int>(candidates.size());
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ERROR: broken package b.vpk\n");
}
