#include "store/repository.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "console/context.h"
#include "qpk/writer.h"
#include "store/database.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"
#include "support/package_line.h"
#include "support/sample_packages.h"

using samples::bundle_of;
using samples::plain;

namespace {

const std::string pdb = "/flash/var/pdb/";
const std::string header = "            Name ";

// A path without a leading "/" lies in the database; "dir" makes a directory, "fifo" a FIFO, "4 GiB" a sparse file of
// 4 GiB and 6 bytes.
void lay_out(const temp_root& root, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [path, content] : files) {
        const std::string inside = path[0] == '/' ? path : pdb + path;
        if (content == "dir") {
            root.make_dir(inside);
        } else if (content == "4 GiB") {
            root.write_file(inside, "");
            ASSERT_EQ(::truncate(root.host(inside).c_str(), (off_t{1} << 32) + 6), 0);
        } else if (content != "fifo") {
            root.write_file(inside, content);
        } else {
            root.write_file(inside, "");  // the directories leading to it
            ::unlink(root.host(inside).c_str());
            ::mkfifo(root.host(inside).c_str(), 0644);
        }
    }
}

// A bundle whose second member's dependency list breaks off: the member stays with what could be read of it, and
// the reading of the image ends.
std::string bundle_with_a_broken_member(const std::string& name) {
    const std::string deps = qpk::encode_requirements({{"d", 0, 0, 0}, {"e", 0, 0, 0}}).substr(0, 34);
    return qpk::encode_container({{part_type::bundle_header, qpk::encode_header(bundle_of(name, 2, 1, {}))},
                                  {part_type::package_header, qpk::encode_header(plain("m1", 2, 4))},
                                  {part_type::dependency_list, deps},
                                  {part_type::signature, std::string(132, '\0')},
                                  {part_type::package_header, qpk::encode_header(plain("m2", 2, 5))},
                                  {part_type::signature, std::string(132, '\0')}},
                                 false);
}

}  // namespace

// Records, sorted, completed from their record directories when no image described it: meta files of strict unsigned
// numbers (a broken one schedules the uninstall, keeping what was read; a `files` list too long to read does not), the
// state files, and the schedule of the name filtered to letters, digits and "-". Files that are FIFOs or far too large,
// and images of too many members, end the loading small; "--show" prints names and notes with control bytes as
// question marks.
TEST(RepositoryTest, LoadsRecordsFromTheirDirectories) {
    const std::string too_large = [] {  // sound lines, one byte too many of them
        std::string text;
        while (text.size() <= max_meta_file_size) text += "a 1 2\n";
        return text;
    }();
    const std::string too_long_list = std::string(max_file_list_size + 1, 'a');
    using f = std::pair<std::string, std::string>;
    const std::vector<f> net = {{"net/version", "7 0\n"}, {"net/files", "bin/x\n"}};
    const std::string sound = "net-0.07 /bin/x";
    const f v = {"p/version", "100 200\n"}, none = {"p/files", ""};
    const struct {
        std::vector<f> files;
        std::string records, messages = "", shown = "";
    } rows[] = {
        {{{"p/disabled", "auto\n"}}, "p-0.0 bundle off do=uninstall"},
        {{{"p/disabled", ""}, v, none}, "p-0.0100 @200 off user"},
        {{{"p/disabled", "auto\n"}, {"p/enabled", "user\n"}, v, {"p/files", "bin/x\n"}}, "p-0.0100 @200 /bin/x off"},
        {{{"p/provides", "x 1 2\n"}, v, none}, "p-0.0100 @200 do=uninstall"},
        {{{"p/deps", "a 1 2\nb 3\n"}, v, none}, "p-0.0100 @200 >a:0.01:0.02 do=uninstall"},
        {{{"p/conflicts", "a 4294967296 0\n"}, v, none}, "p-0.0100 @200 do=uninstall"},
        {{{"p/provides", "a 1 1 2147483648\n"}, v, none}, "p-0.0100 @200 do=uninstall"},
        {{{"p/provides", "a 1 1 -x\n"}, v, none}, "p-0.0100 @200 do=uninstall"},
        {{{"p/version", "5\n"}, none}, "p-0.05 do=uninstall"},
        {{{"p/version", "-1 3\n"}, none}, "p-0.0 do=uninstall"},
        {{{"p/bundle", "velnor\n"}, v, none}, "p-0.0100 @200 ^velnor do=uninstall"},
        {{{"p/bundle", "\n"}, v, none}, "p-0.0100 @200"},
        {{v, {"p/files", "bin/x\n/etc/y\n\nlib/z"}}, "p-0.0100 @200 /bin/x /etc/y /lib/z"},
        {{{"p/disabled", "auto\n"}, {"/ram/pdb/p/schedule", "enable\n"}}, "p-0.0 bundle off user do=enable"},
        {{v, none, {"/ram/pdb/p/schedule", "disable now\n"}}, "p-0.0100 @200 user do=disable"},
        {{v, none, {"/ram/pdb/p/schedule", "  uninstall"}}, "p-0.0100 @200 do=uninstall"},
        {{v, none, {"/ram/pdb/p/schedule", "Enable\n"}}, "p-0.0100 @200"},
        {{{"p/", "dir"}}, "p-0.0 bundle do=uninstall"},
        {{{"p/deps", "a 1 2\nb 0 0\n"}, {"p/provides", "v 3 4 -5\nw 0 0 2147483647\nu 1 1 -2147483648\n"},
          {"p/conflicts", "c 4294967295 0"}, v, none},
         "p-0.0100 @200 >a:0.01:0.02 >b +v:0.03:0.04:-5 +w:::2147483647 +u:0.01:0.01:-2147483648 !c:255.255255"},
        {{{"a_b.c/version", "100 200\n"}, {"a_b.c/files", ""}, {"/ram/pdb/abc/schedule", "disable\n"},
          {"/ram/pdb/a_b.c/schedule", "uninstall\n"}},
         "a_b.c-0.0100 @200 user do=disable"},
        {{{"p/image", line::file("p placeholder", 0)}, v, {"p/disabled", "auto\n"}, {"/ram/pdb/p/schedule", "enable"}},
         "p-255.255255 @4294967295 arch=[i386] off"},
        {{net[0], net[1], {"net/version", "fifo"}}, "net-0.0 /bin/x do=uninstall"},
        {{net[0], net[1], {"net/deps", "fifo"}}, sound},
        {{net[0], net[1], {"net/files", "fifo"}}, "net-0.07 bundle"},
        {{net[0], net[1], {"net/disabled", "fifo"}}, sound},
        {{net[0], net[1], {"/ram/pdb/net/schedule", "fifo"}}, sound},
        {{net[0], net[1], {"net/deps", too_large}}, sound + " do=uninstall"},
        {{net[0], net[1], {"net/files", too_large}}, "net-0.07 /a 1 2"},
        {{net[0], net[1], {"net/files", too_long_list}}, "net-0.07"},
        {{net[0], net[1], {"net/files", "4 GiB"}}, "net-0.07"},
        {{net[0], net[1], {"image", line::file("noted", 0)}}, sound},
        {{net[0], net[1], {"net/image", hostile_files::bundle_of_bare_members("net", 100000)}}, sound,
         "ERROR: broken package net\n"},
        {{net[0], net[1], {"net/image", line::file("noted note=a\nb\x1b[2J\x7f", 0)}},
         sound + "\nnoted-1.0 arch=[i386] note=[a\nb\x1b[2J\x7f]", "", " a?b?[2J?\n"},
        {{net[0], net[1], {"e\x1b[2J\tvil/version", "8 0\n"}}, "e\x1b[2J\tvil-0.08 bundle\n" + sound, "", "e?[2J?vil "},
    };
    for (const auto& r : rows) {
        temp_root root;
        lay_out(root, r.files);
        const run_result run = run_limited(root.path(), [] {
            const int status = call_installer_main({"--show"});
            std::set<std::string> records;
            for (const auto& record : context().packages) records.insert(line::text(*record) + "\n");
            std::printf("records:\n");
            for (const std::string& record : records) std::fputs(record.c_str(), stdout);
            return status;
        });
        EXPECT_EQ(run.status, 0) << r.records << run.err;
        const std::size_t table = run.out.find(header), records = run.out.find("records:\n");
        EXPECT_EQ(run.out.substr(0, table), r.messages);
        EXPECT_EQ(run.out.substr(records + 9), r.records + "\n");
        const std::string shown = run.out.substr(table, records - table);
        EXPECT_NE(shown.find(r.shown), std::string::npos) << shown;
        EXPECT_EQ(shown.find_first_of("\x1b\t\r\x7f"), std::string::npos) << shown;
    }
}

// Images in the database first (a bundle's members before the bundle), then images outside it (named by the
// database), then record directories without an image. Image names that are no database entry stay inside the
// database; only regular files are opened.
TEST(RepositoryTest, LoadsImagesThenOutsideImagesThenBareRecordDirectories) {
    temp_root root;
    const auto image = [](const std::string& text) { return line::file(text, 0); };
    lay_out(root, {
                      {"system/image", image("system-0.03 @1500000000 #1 arch=mips note=base >kernel:0.03 "
                                             "+sys:0.03:0.03:5 !old::0.03 %IMG")},
                      {"system/version", "1 1\n"},
                      {"system/disabled", "user\n"},
                      {"velnor/image", image("velnor-0.02 @6 note=bundle %B {dhcp-0.02 @7 note=dhcp} {ppp-0.02 off}")},
                      {"ppp/disabled", "auto\n"},
                      {"/ram/pdb/dhcp/schedule", "uninstall\n"},
                      {".hidden/image", image("hidden-0.01")},
                      {"/rw/pckg/.images/.hidden", image("hidden2-0.01")},
                      {"renamed/image", image("calea-0.02 @2")},
                      {"broken/image", "not a package at all"},
                      {"broken/version", "2 7\n"},
                      {"broken/files", "x\n"},
                      {"dirimg/version", "2 3\n"},
                      {"dirimg/image", "dir"},
                      {"/rw/pckg/.images/dirimg", "dir"},
                      {"extra/version", "2 1\n"},
                      {"/rw/pckg/.images/extra", image("extra-0.04 @99")},
                      {"/rw/pckg/.images/orphan", image("orphan-0.04 @99")},
                      {"both/image", image("both-0.01 @10")},
                      {"/rw/pckg/.images/both", image("both-0.09 @20")},
                      {"evil/image", image("../../etc-0.04 @1")},
                      {"evil/version", "2 5\n"},
                      {"/flash/etc/version", "4 1\n"},
                      {"bad/image", image("..-0.04 @1 {inner-0.04 @1}")},
                      {"good/image", image("good-0.04 @3 {a/b-0.04} {-0.04} {..-0.04} {fine-0.04 @2}")},
                      {"partial/image", bundle_with_a_broken_member("partial")},
                  });
    const std::map<std::string, std::string> from_images = {
        {"system", "system-0.3 @1500000000 #1 arch=[i386] note=[base] >kernel:0.3 +sys:0.3:0.3:5 !old::0.3 off "
                   "user\n"},
        {"velnor", "dhcp-0.2 @7 arch=[i386] note=[dhcp] ^velnor:0.2:0.2 do=uninstall\nppp-0.2 arch=[i386] "
                   "^velnor:0.2:0.2 off\nvelnor-0.2 @6 arch=[i386] note=[bundle] bundle\n"},
        {"renamed", "calea-0.2 @2 arch=[i386]\n"},
        {"broken", "broken-0.02 @7 /x\n"},
        {"both", "both-0.1 @10 arch=[i386]\n"},
        {"evil", "evil-0.02 @5 bundle\n"},
        {"bad", "bad-0.0 bundle do=uninstall\n"},
        {"good", "fine-0.4 @2 arch=[i386] ^good:0.4:0.4\ngood-0.4 @3 arch=[i386] bundle\n"},
        {"partial", "m1-0.02 @4 arch=[i386] >d ^partial:0.02:0.02\npartial-0.02 @1 arch=[i386] bundle\n"},
    };
    const std::map<std::string, std::string> from_outside = {
        {"extra", "extra-0.4 @99 arch=[i386]\n"},
        {"both", "both-0.9 @20 arch=[i386]\n"},
    };
    const std::map<std::string, std::string> bare = {
        {"renamed", "renamed-0.0 bundle do=uninstall\n"},
        {"dirimg", "dirimg-0.02 @3 bundle\n"},
    };
    std::string expected;
    const std::vector<std::string> order = directory_order(root.host(pdb));
    for (const auto* group : {&from_images, &from_outside, &bare})
        for (const std::string& name : order)
            if (auto it = group->find(name); it != group->end()) expected += it->second;
    const auto load = [](const temp_root& where, bool quiet) {
        return run_in_child(where.path(), [quiet] {
                   installer_context ctx;
                   ctx.out = stdout;
                   load_repository(ctx, quiet, "mips");
                   std::printf("%s %d %zu\n", ctx.architecture.c_str(), ctx.quiet, ctx.messages.size());
                   for (const auto& record : ctx.packages) std::printf("%s\n", line::text(*record).c_str());
                   return 0;
               })
            .out;
    };
    EXPECT_EQ(load(root, false), "mips 0 0\n" + expected);

    // Without a database, images outside it mean nothing.
    temp_root empty;
    empty.write_file("/rw/pckg/.images/system", line::file("system-0.01", 0));
    EXPECT_EQ(load(empty, false), "mips 0 0\n");
    ASSERT_EQ(::rmdir(empty.host(pdb).c_str()), 0);
    EXPECT_EQ(load(empty, false), "WARNING: could not open repo\nmips 0 1\n");
    EXPECT_EQ(load(empty, true), "mips 1 0\n");
}

// Only names ending in ".qpk" or ".vpk" are read, each regular file whose size agrees with its header; bundles come
// with their members, up to a limit. The others are reported broken by their names, and nothing is removed.
TEST(RepositoryTest, ScansOnlyPackageFilesAndReportsBrokenOnes) {
    temp_root root;
    const std::string dir = "/rw/pckg/.download/";
    const std::string alpha = line::file("alpha-0.04 @11 arch=mips note=a %IMAGE +alias:0.03::-2", 0);
    const std::string beta = line::file("beta-0.03 @12", 0);
    lay_out(root, {
                      {dir + "a.qpk", alpha},
                      {dir + "b.vpk", beta},
                      {dir + "c.QPK", alpha},
                      {dir + "d.txt", alpha},
                      {dir + ".e.qpk", alpha},
                      {dir + "f.qpk", beta.substr(0, beta.size() - 1)},
                      {dir + "g.qpk", line::file("empty-0.04 @1 bundle", 0)},
                      {dir + "h.qpk", line::file("suite-0.04 @20 %S {member1-0.04 @21 note=first %M} "
                                                 "{member2-0.04 @22 off}", 0)},
                      {dir + "i.qpk", "garbage that is no package"},
                      {dir + "j.qpk", line::file("..-0.04 @1", 0)},
                      {dir + "k.vpk", line::file("holder-0.04 @1 {x/y-0.04 @1}", 0)},
                      {dir + "l.qpk", beta + "x"},
                      {dir + "m.qpk", bundle_with_a_broken_member("bad")},
                      {dir + "n.qpk", "dir"},
                      {dir + "o.qpk", "fifo"},  // opening it would wait for ever
                      {dir + "p.qpk", line::file(".x-0.04 @1", 0)},
                      {dir + "q.vpk", hostile_files::bundle_of_bare_members("b", 100000)},
                  });
    const std::vector<std::string> before = root.list_dir(dir);
    const run_result r = run_limited(root.path(), [&] {
        installer_context ctx;
        candidate_list candidates;
        candidates.push_back(new_download_record());  // the scan appends
        scan_download_dir(ctx, dir, candidates);
        scan_download_dir(ctx, "/rw/pckg/missing/", candidates);
        for (const auto& d : candidates) std::printf("%s %s\n", d->path.c_str(), line::text(*d).c_str());
        download_record missing;
        return read_download_file(missing, dir + "none.qpk") || missing.path != dir + "none.qpk";
    });
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (const std::string& name : directory_order(root.host(dir), true)) {
        if (name.size() == 5 && std::string("abhd.c.").find(name[0]) == std::string::npos)
            expected += "ERROR: broken package " + name + "\n";
    }
    std::map<std::string, std::string> found = {
        {"a.qpk", "alpha-0.4 @11 arch=[mips] note=[a] % +alias:0.3::-2"},
        {"b.vpk", "beta-0.3 @12 arch=[i386]"},
        {"h.qpk", "suite-0.4 @20 arch=[i386] % {member1-0.4 @21 arch=[i386] note=[first] %} "
                  "{member2-0.4 @22 arch=[i386]}"},
    };
    expected += " -0.0\n";
    for (const std::string& name : directory_order(root.host(dir), true))
        if (found.contains(name)) expected += dir + name + " " + found[name] + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(root.list_dir(dir), before);
}
