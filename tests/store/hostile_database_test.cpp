// The database loader and "--show" on record directories, schedule files
// and package images that are FIFOs, far too large, or hold control bytes.
// Every run is limited in time and memory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "console/context.h"
#include "store/database.h"
#include "store/repository.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"
#include "support/sample_packages.h"

namespace {

enum class kind { file, fifo };

struct load_case {
    const char* title;
    std::string path;  // inside the root, laid over the sound record "net"
    kind what;
    std::string content;
    std::string details;  // every record after loading, one line each
    std::string shown;    // a piece of the output of "--show"
};

const std::string net = "/flash/var/pdb/net/";
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

std::string sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size() - 1);
        lines.push_back(text.substr(start, end - start + 1));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line;
    return out;
}

int show_and_describe() {
    int status = call_installer_main({"--show"});
    for (const auto& r : context().packages)
        std::printf("%s v=%u a=%u d=%d u=%d b=%d f=%zu\n", r->name.c_str(), r->version, r->scheduled_action,
                    r->disabled, r->user_set, r->bundle, r->files.size());
    return status;
}

}  // namespace

TEST(HostileDatabaseTest, LoadingEndsSmallAndShowsOnlyPrintableText) {
    const std::string sound = "net v=7 a=0 d=0 u=0 b=0 f=1\n";
    const load_case cases[] = {
        {"FIFO for version", net + "version", kind::fifo, "", "net v=0 a=1 d=0 u=0 b=0 f=1\n", ""},
        {"FIFO for deps", net + "deps", kind::fifo, "", sound, ""},
        {"FIFO for files", net + "files", kind::fifo, "", "net v=7 a=0 d=0 u=0 b=1 f=0\n", ""},
        {"FIFO for disabled", net + "disabled", kind::fifo, "", sound, ""},
        {"FIFO for enabled", net + "enabled", kind::fifo, "", sound, ""},
        {"FIFO for the schedule", "/ram/pdb/net/schedule", kind::fifo, "", sound, ""},
        {"FIFO for the image", net + "image", kind::fifo, "", sound, ""},
        {"deps too large", net + "deps", kind::file, too_large, "net v=7 a=1 d=0 u=0 b=0 f=1\n", ""},
        {"files too large", net + "files", kind::file, too_large, "net v=7 a=1 d=0 u=0 b=0 f=0\n", ""},
        {"plain file among the record directories", "/flash/var/pdb/image", kind::file, image_with_note("n"), sound,
         ""},
        {"bundle image of bare members", net + "image", kind::file,
         hostile_files::bundle_of_bare_members("net", 100000), sound, "ERROR: broken package net\n"},
        {"note with a line end and an escape", net + "image", kind::file, image_with_note("a\nb\x1b[2J\x7f"),
         sound + "noted v=" + std::to_string(samples::single_contents("", false).version) + " a=0 d=0 u=0 b=0 f=0\n",
         "a?b?[2J?\n"},
        {"record name with control bytes", "/flash/var/pdb/e\x1b[2J\tvil/version", kind::file, "8 0\n",
         "e\x1b[2J\tvil v=8 a=0 d=0 u=0 b=1 f=0\n" + sound, "e?[2J?vil "},
    };
    for (const load_case& c : cases) {
        temp_root root;
        root.write_file(net + "version", "7 0\n");
        root.write_file(net + "deps", "");
        root.write_file(net + "files", "bin/x\n");
        if (c.what == kind::fifo) {
            root.make_dir(c.path.substr(0, c.path.rfind('/')));
            ::unlink(root.host(c.path).c_str());
            ASSERT_EQ(::mkfifo(root.host(c.path).c_str(), 0644), 0) << c.title;
        } else {
            root.write_file(c.path, c.content);
        }
        run_result r = run_limited(root.path(), show_and_describe);
        EXPECT_EQ(r.status, 0) << c.title << ": " << r.err;
        // The messages and the table come first, the record lines (in
        // directory order, so sorted here) after them.
        if (r.out.size() < c.details.size()) {
            ADD_FAILURE() << c.title << ": " << r.out;
            continue;
        }
        const std::string table = r.out.substr(0, r.out.size() - c.details.size());
        EXPECT_EQ(sorted_lines(r.out.substr(table.size())), c.details) << c.title;
        EXPECT_NE(table.find(c.shown), std::string::npos) << c.title << ":\n" << table;
        EXPECT_EQ(table.find_first_of("\x1b\t\r\x7f"), std::string::npos) << c.title;
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
