#include "store/repository.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "qpk/writer.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/package_text.h"
#include "support/sample_packages.h"
#include "support/temp_root.h"

using samples::bundle_of;
using samples::plain;

namespace {

const std::string pdb = "/flash/var/pdb/";

std::string build(const qpk::package_contents& p) { return qpk::build_package(p); }
std::string build(const qpk::bundle_contents& b) { return samples::build_bundle(b); }

// Loads the installed set chrooted into the root: the console, then one line per record.
std::string load_in_root(const temp_root& root, bool quiet = false) {
    run_result r = run_in_child(root.path(), [quiet] {
        installer_context ctx;
        ctx.out = stdout;
        load_repository(ctx, quiet, "mips");
        std::printf("%s %d %zu\n", ctx.architecture.c_str(), ctx.quiet, ctx.messages.size());
        for (const auto& record : ctx.packages) std::printf("%s\n", package_text(*record).c_str());
        return 0;
    });
    EXPECT_EQ(r.err, "");
    return r.out;
}

// A bundle whose second member's dependency list breaks off: the member stays with what could be read of it, and the reading of
// the image ends.
std::string bundle_with_a_broken_member(const std::string& name) {
    return qpk::encode_container({{part_type::bundle_header, qpk::encode_header(bundle_of(name, 2, 1, {}))},
                                  {part_type::package_header, qpk::encode_header(plain("m1", 2, 4))},
                                  {part_type::dependency_list, qpk::encode_requirements({{"d", 0, 0, 0}, {"e", 0, 0, 0}}).substr(0, 34)},
                                  {part_type::signature, std::string(132, '\0')},
                                  {part_type::package_header, qpk::encode_header(plain("m2", 2, 5))},
                                  {part_type::signature, std::string(132, '\0')}},
                                 false);
}

}  // namespace

// Images in the database first (a bundle's members before the bundle), then images outside it (named by the database), then
// record directories without an image; load_record_state for each. Image names that are no database entry stay inside the
// database; only regular files are opened.
TEST(RepositoryTest, LoadsImagesThenOutsideImagesThenBareRecordDirectories) {
    temp_root root;
    qpk::package_contents system = plain("system", 3, 1500000000);
    system.header_flags = 1;
    system.text24 = "t24", system.architecture = "mips", system.text2 = "t2", system.note = "base";
    system.dependencies = std::vector<requirement>{{"kernel", 3, 0, 0}};
    system.provisions = std::vector<requirement>{{"sys", 3, 3, 5}};
    system.conflicts = std::vector<requirement>{{"old", 0, 3, 0}};
    system.image = "IMG";
    qpk::package_contents dhcp = plain("dhcp", 2, 7);
    dhcp.note = "dhcp server";
    qpk::bundle_contents velnor = bundle_of("velnor", 2, 6, {build(dhcp), build(plain("ppp", 2))});
    velnor.note = "bundle note", velnor.image = "BIMG", velnor.default_disabled = std::vector<requirement>{{"ppp", 0, 0, 0}};
    const std::map<std::string, std::string> files = {
        {pdb + "system/image", build(system)}, {pdb + "system/version", "1 1\n"}, {pdb + "system/disabled", "user\n"},
        {pdb + "velnor/image", build(velnor)}, {pdb + "ppp/disabled", "auto\n"}, {"/ram/pdb/dhcp/schedule", "uninstall\n"},
        {pdb + "oldpkg/version", "5 6\n"}, {pdb + "oldpkg/provides", "olds 1 2 -3\n"}, {pdb + "oldpkg/files", "bin/old\n"},
        {pdb + "oldpkg/enabled", "user\n"}, {"/ram/pdb/oldpkg/schedule", "disable\n"}, {pdb + "gone/disabled", "auto\n"},
        {pdb + ".hidden/image", build(plain("hidden", 1))}, {"/rw/pckg/.images/.hidden", build(plain("hidden2", 1))},
        {pdb + "renamed/image", build(plain("calea", 2, 2))},
        {pdb + "broken/image", "not a package at all"}, {pdb + "broken/version", "2 7\n"}, {pdb + "broken/files", "x\n"},
        {pdb + "dirimg/version", "2 3\n"},
        {pdb + "extra/version", "2 1\n"}, {"/rw/pckg/.images/extra", build(plain("extra", 4, 99))},
        {"/rw/pckg/.images/orphan", build(plain("orphan", 4, 99))},
        {pdb + "both/image", build(plain("both", 1, 10))}, {"/rw/pckg/.images/both", build(plain("both", 9, 20))},
        {pdb + "evil/image", build(plain("../../etc", 4, 1))}, {pdb + "evil/version", "2 5\n"}, {"/flash/etc/version", "4 1\n"},
        {pdb + "bad/image", build(bundle_of("..", 4, 1, {build(plain("inner", 4, 1))}))},
        {pdb + "good/image", build(bundle_of("good", 4, 3, {build(plain("a/b", 4)), build(plain("", 4)), build(plain("..", 4)), build(plain("fine", 4, 2))}))},
        {pdb + "partial/image", bundle_with_a_broken_member("partial")},
    };
    for (const auto& [path, content] : files) root.write_file(path, content);
    root.make_dir(pdb + "dirimg/image");
    root.make_dir("/rw/pckg/.images/dirimg");

    const std::map<std::string, std::string> from_images = {
        {"system", "system 3 1500000000 flags1 t24=[t24] arch=[i386] note=[base] deps kernel:3:0:0 prov sys:3:3:5 conf old:0:3:0 disabled user\n"},
        {"velnor", "dhcp 2 7 arch=[i386] note=[dhcp server] in velnor:2:2:0 action1\nppp 2 0 arch=[i386] in velnor:2:2:0 disabled\n"
                   "velnor 2 6 arch=[i386] note=[bundle note] bundle\n"},
        {"renamed", "calea 2 2 arch=[i386]\n"},
        {"broken", "broken 2 7 /x\n"},
        {"both", "both 1 10 arch=[i386]\n"},
        {"evil", "evil 2 5 bundle\n"},
        {"bad", "bad 0 0 bundle action1\n"},
        {"good", "fine 4 2 arch=[i386] in good:4:4:0\ngood 4 3 arch=[i386] bundle\n"},
        {"partial", "m1 2 4 arch=[i386] deps d:0:0:0 in partial:2:2:0\npartial 2 1 arch=[i386] bundle\n"},
    };
    const std::map<std::string, std::string> from_outside = {{"extra", "extra 4 99 arch=[i386]\n"}, {"both", "both 9 20 arch=[i386]\n"}};
    const std::map<std::string, std::string> bare = {
        {"oldpkg", "oldpkg 5 6 prov olds:1:2:-3 /bin/old user action3\n"}, {"gone", "gone 0 0 bundle disabled action1\n"},
        {"renamed", "renamed 0 0 bundle action1\n"}, {"dirimg", "dirimg 2 3 bundle\n"}};
    std::string expected = "mips 0 0\n";
    const std::vector<std::string> order = directory_order(root.host(pdb));
    for (const auto* group : {&from_images, &from_outside, &bare})
        for (const std::string& name : order)
            if (auto it = group->find(name); it != group->end()) expected += it->second;
    EXPECT_EQ(load_in_root(root), expected);

    // Without a database, images outside it mean nothing.
    temp_root empty;
    empty.write_file("/rw/pckg/.images/system", build(plain("system", 1)));
    EXPECT_EQ(load_in_root(empty), "mips 0 0\n");
    ASSERT_EQ(::rmdir(empty.host(pdb).c_str()), 0);
    EXPECT_EQ(load_in_root(empty), "WARNING: could not open repo\nmips 0 1\n");
    EXPECT_EQ(load_in_root(empty, true), "mips 1 0\n");
}

// Only names ending in ".qpk" or ".vpk" are read, each regular file whose size agrees with its header; bundles come with their
// members. The others are reported broken by their names, and nothing is removed.
TEST(RepositoryTest, ScansOnlyPackageFilesAndReportsBrokenOnes) {
    temp_root root;
    const std::string dir = root.host("/rw/pckg/.download/");
    qpk::package_contents a = plain("alpha", 4, 11);
    a.text24 = "t24", a.architecture = "mips", a.text2 = "t2", a.note = "note a", a.image = "IMAGE";
    a.provisions = std::vector<requirement>{{"alias", 3, 0, -2}};
    const std::string alpha = build(a), beta = build(plain("beta", 3, 12));
    qpk::package_contents m1 = plain("member1", 4, 21);
    m1.note = "first", m1.image = "M1";
    qpk::bundle_contents h = bundle_of("suite", 4, 20, {build(m1), build(plain("member2", 4, 22))});
    h.image = "SUITE", h.default_disabled = std::vector<requirement>{{"member2", 0, 0, 0}};
    const std::map<std::string, std::string> files = {
        {"a.qpk", alpha}, {"b.vpk", beta}, {"c.QPK", alpha}, {"d.txt", alpha}, {".e.qpk", alpha},
        {"f.qpk", beta.substr(0, beta.size() - 1)}, {"g.qpk", build(bundle_of("empty", 4, 1, {}))}, {"h.qpk", build(h)},
        {"i.qpk", "garbage that is no package"}, {"j.qpk", build(plain("..", 4, 1))},
        {"k.vpk", build(bundle_of("holder", 4, 1, {build(plain("x/y", 4, 1))}))}, {"l.qpk", beta + "x"},
        {"m.qpk", bundle_with_a_broken_member("bad")}, {"p.qpk", build(plain(".x", 4, 1))},
    };
    for (const auto& [name, content] : files) root.write_file("/rw/pckg/.download/" + name, content);
    root.make_dir("/rw/pckg/.download/n.qpk");
    ASSERT_EQ(::mkfifo((dir + "o.qpk").c_str(), 0644), 0);  // opening it would wait for ever
    const std::vector<std::string> before = root.list_dir("/rw/pckg/.download");

    captured_context c;
    candidate_list candidates;
    candidates.push_back(new_download_record());  // the scan appends
    scan_download_dir(c.ctx, dir, candidates);
    std::vector<std::string> messages = c.ctx.messages;
    std::sort(messages.begin(), messages.end());
    std::vector<std::string> expected_messages;
    for (const char* name : {"f.qpk", "g.qpk", "i.qpk", "j.qpk", "k.vpk", "l.qpk", "m.qpk", "n.qpk", "o.qpk", "p.qpk"})
        expected_messages.push_back(std::string("ERROR: broken package ") + name);
    EXPECT_EQ(messages, expected_messages);
    std::map<std::string, std::string> found;
    for (const auto& d : candidates) found[d->path] = package_text(*d);
    EXPECT_EQ(found, (std::map<std::string, std::string>{
                         {"", " 0 0"},
                         {dir + "a.qpk", "alpha 4 11 t24=[t24] arch=[mips] t2=[t2] note=[note a] image prov alias:3:0:-2"},
                         {dir + "b.vpk", "beta 3 12 arch=[i386]"},
                         {dir + "h.qpk", "suite 4 20 arch=[i386] image bundle {member1 4 21 arch=[i386] note=[first] image} "
                                         "{member2 4 22 arch=[i386]}"}}));
    EXPECT_EQ(root.list_dir("/rw/pckg/.download"), before);
    scan_download_dir(c.ctx, root.host("/rw/pckg/missing/"), candidates);
    EXPECT_EQ(candidates.size(), 4u);
    download_record missing;
    EXPECT_FALSE(read_download_file(missing, dir + "none.qpk"));
    EXPECT_EQ(missing.path, dir + "none.qpk");  // whatever the outcome
}
