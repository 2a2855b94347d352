#include "store/repository.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "qpk/writer.h"
#include "resolve/version.h"
#include "store/package_format.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t v640 = make_version(6, 40, 'f', 0);
constexpr std::uint32_t v6401 = make_version(6, 40, 'f', 1);
constexpr std::uint32_t v641 = make_version(6, 41, 'f', 0);
constexpr std::uint32_t v100 = make_version(1, 0, 'f', 0);
constexpr std::uint32_t v200 = make_version(2, 0, 'f', 0);

std::string n(std::uint32_t value) { return std::to_string(value); }

qpk::package_contents package(const std::string& name, std::uint32_t version, std::uint32_t built) {
    qpk::package_contents p;
    p.name = name;
    p.version = version;
    p.build_time = built;
    p.files = std::vector<qpk::file_item>{qpk::regular_file("bin/" + name, "contents of " + name)};
    return p;
}

std::string build(const qpk::package_contents& p) { return qpk::build_package(p); }

std::string bundle(const qpk::bundle_contents& b) {
    std::string out;
    std::string error;
    EXPECT_TRUE(qpk::build_bundle(b, out, error)) << error;
    return out;
}

qpk::bundle_contents bundle_of(const std::string& name, std::uint32_t version, std::uint32_t built,
                               std::vector<std::string> members) {
    qpk::bundle_contents b;
    b.name = name;
    b.version = version;
    b.build_time = built;
    b.members = std::move(members);
    return b;
}

std::string list_text(const std::vector<requirement>& list) {
    std::string text = "[";
    for (const requirement& r : list)
        text += (text.size() > 1 ? " " : "") + r.name + "," + n(r.minimum) + "," + n(r.maximum) + "," +
                std::to_string(r.precedence);
    return text + "]";
}

std::string description_text(const package_description& d) {
    std::ostringstream s;
    s << d.name << " " << format_version(d.version) << " built=" << d.build_time << " flags=" << d.header_flags
      << " t24=[" << d.text24 << "] arch=[" << d.architecture << "] t2=[" << d.text2 << "] note=[" << d.note
      << "] image=" << d.image << " bundle=" << d.bundle << " deps=" << list_text(d.dependencies)
      << " prov=" << list_text(d.provisions) << " conf=" << list_text(d.conflicts);
    return s.str();
}

// Every field of a record on one line, so that a mismatch shows the record
// and the field.
std::string describe(const package_record& r) {
    std::string text = description_text(r) + " subs=" + n(static_cast<std::uint32_t>(r.sub_packages.size())) +
                       " files=[";
    bool first = true;
    for (const std::string& f : r.files) {
        text += (first ? "" : " ") + f;
        first = false;
    }
    text += "] bref=" + (r.bundle_reference.name.empty() && r.bundle_reference == requirement{}
                             ? std::string("-")
                             : list_text({r.bundle_reference}));
    text += " disabled=" + n(r.disabled) + " user=" + n(r.user_set) + " action=" + n(r.scheduled_action) + "\n";
    return text;
}

// Loads the installed set chrooted into the root; what the console showed,
// then one line per record.
run_result load_in_root(const temp_root& root, bool quiet = false) {
    return run_in_child(root.path(), [quiet] {
        installer_context ctx;
        ctx.out = stdout;
        load_repository(ctx, quiet, "mips");
        std::string text = "arch " + ctx.architecture + " quiet " + n(ctx.quiet) + " messages " +
                           n(static_cast<std::uint32_t>(ctx.messages.size())) + "\n";
        for (const auto& record : ctx.packages) text += describe(*record);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    });
}


// A stream buffer over bytes in memory that counts the bytes it hands out
// and can seek. It keeps no get area, so every byte read is counted.
class counting_buffer : public std::streambuf {
public:
    explicit counting_buffer(std::string data) : data_(std::move(data)) {}
    std::size_t delivered = 0;

protected:
    int_type underflow() override {
        return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_]) : traits_type::eof();
    }
    int_type uflow() override {
        if (pos_ >= data_.size()) return traits_type::eof();
        ++delivered;
        return traits_type::to_int_type(data_[pos_++]);
    }
    std::streamsize xsgetn(char* s, std::streamsize count) override {
        std::size_t m = std::min<std::size_t>(static_cast<std::size_t>(count), data_.size() - pos_);
        std::memcpy(s, data_.data() + pos_, m);
        pos_ += m;
        delivered += m;
        return static_cast<std::streamsize>(m);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        off_type base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? off_type(pos_) : off_type(data_.size());
        return seekpos(pos_type(base + off), which);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (off_type(pos) < 0 || off_type(pos) > off_type(data_.size())) return pos_type(off_type(-1));
        pos_ = static_cast<std::size_t>(off_type(pos));
        return pos;
    }

private:
    std::string data_;
    std::size_t pos_ = 0;
};

std::string random_bytes(std::size_t count) {
    std::mt19937 generator(5);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

}  // namespace

TEST(RepositoryTest, LoadsImagesThenOutsideImagesThenBareRecordDirectories) {
    temp_root root;
    const std::string pdb = "/flash/var/pdb/";

    // A package image that carries every description part: the loader wants
    // neither the architecture nor text 2 nor the image part.
    qpk::package_contents system = package("system", v6401, 1500000000);
    system.header_flags = 1;
    system.text24 = "t24";
    system.architecture = "mips";
    system.text2 = "t2";
    system.note = "base";
    system.dependencies = std::vector<requirement>{{"kernel", v640, 0, 0}};
    system.provisions = std::vector<requirement>{{"sys", v640, v640, 5}};
    system.conflicts = std::vector<requirement>{{"old", 0, v640, 0}};
    system.image = "IMG";
    root.write_file(pdb + "system/image", build(system));
    // Meta files beside an image are not read: the image describes it.
    root.write_file(pdb + "system/version", n(v100) + " 1\n");
    root.write_file(pdb + "system/files", "bin/y\n");
    root.write_file(pdb + "system/disabled", "user\n");

    // A bundle image: its members first, named by their headers.
    qpk::package_contents dhcp = package("dhcp", v640, 1600000001);
    dhcp.note = "dhcp server";
    dhcp.dependencies = std::vector<requirement>{{"system", v640, 0, 0}};
    qpk::bundle_contents velnor = bundle_of("velnor", v640, 1600000000, {build(dhcp), build(package("ppp", v640, 0))});
    velnor.note = "bundle note";
    velnor.image = "BIMG";
    velnor.default_disabled = std::vector<requirement>{{"ppp", 0, 0, 0}};
    root.write_file(pdb + "velnor/image", bundle(velnor));
    root.write_file(pdb + "ppp/disabled", "auto\n");
    root.write_file("/ram/pdb/dhcp/schedule", "uninstall\n");

    // Record directories without an image.
    root.write_file(pdb + "oldpkg/version", n(v6401) + " 1400000000\n");
    root.write_file(pdb + "oldpkg/deps", "kernel 0 0\n");
    root.write_file(pdb + "oldpkg/provides", "olds 1 2 -3\n");
    root.write_file(pdb + "oldpkg/files", "bin/old\n/etc/old\n");
    root.write_file(pdb + "oldpkg/enabled", "user\n");
    root.write_file("/ram/pdb/oldpkg/schedule", "disable\n");
    root.write_file(pdb + "gone/disabled", "auto\n");

    // Dot-directories are nobody's record directory, in either pass.
    root.write_file(pdb + ".hidden/image", build(package("hidden", v640, 1)));
    root.write_file(pdb + ".hidden/version", n(v640) + " 1\n");
    root.write_file("/rw/pckg/.images/.hidden", build(package("hidden2", v640, 1)));

    // The header names the record, not the directory; the directory then
    // has no record of its name and gets one of its own.
    root.write_file(pdb + "renamed/image", build(package("calea", v640, 2)));

    // An image that holds no package leaves the record to its meta files.
    root.write_file(pdb + "broken/image", "not a package at all");
    root.write_file(pdb + "broken/version", n(v640) + " 7\n");
    root.write_file(pdb + "broken/files", "x\n");

    // An image that is no file cannot be opened: the directory describes it.
    root.make_dir(pdb + "dirimg/image");
    root.write_file(pdb + "dirimg/version", n(v640) + " 3\n");
    root.make_dir("/rw/pckg/.images/dirimg");

    // Images outside the database are found only by a database name.
    root.write_file(pdb + "extra/version", n(v640) + " 1\n");
    root.write_file("/rw/pckg/.images/extra", build(package("extra", v641, 99)));
    root.write_file("/rw/pckg/.images/orphan", build(package("orphan", v641, 99)));
    root.write_file(pdb + "both/image", build(package("both", v100, 10)));
    root.write_file("/rw/pckg/.images/both", build(package("both", v200, 20)));

    const std::string i386_plain = " flags=0 t24=[] arch=[i386] t2=[] note=[] image=0 bundle=0 deps=[] prov=[] conf=[] subs=0 files=[]";
    const std::string bundle_ref = " bref=[velnor," + n(v640) + "," + n(v640) + ",0]";
    std::map<std::string, std::string> from_database = {
        {"system", "system 6.40.1 built=1500000000 flags=1 t24=[t24] arch=[i386] t2=[] note=[base] image=0 bundle=0 deps=[kernel," +
                       n(v640) + ",0,0] prov=[sys," + n(v640) + "," + n(v640) + ",5] conf=[old,0," + n(v640) +
                       ",0] subs=0 files=[] bref=- disabled=1 user=1 action=0\n"},
        {"velnor", "dhcp 6.40 built=1600000001 flags=0 t24=[] arch=[i386] t2=[] note=[dhcp server] image=0 bundle=0 deps=[system," +
                         n(v640) + ",0,0] prov=[] conf=[] subs=0 files=[]" + bundle_ref + " disabled=0 user=0 action=1\n" +
                         "ppp 6.40 built=0" + i386_plain + bundle_ref + " disabled=1 user=0 action=0\n" +
                         "velnor 6.40 built=1600000000 flags=0 t24=[] arch=[i386] t2=[] note=[bundle note] image=0 bundle=1 "
                         "deps=[] prov=[] conf=[] subs=0 files=[] bref=- disabled=0 user=0 action=0\n"},
        {"renamed", "calea 6.40 built=2" + i386_plain + " bref=- disabled=0 user=0 action=0\n"},
        {"broken", "broken 6.40 built=7 flags=0 t24=[] arch=[] t2=[] note=[] image=0 bundle=0 deps=[] prov=[] conf=[] subs=0 "
                   "files=[/x] bref=- disabled=0 user=0 action=0\n"},
        {"both", "both 1.0 built=10" + i386_plain + " bref=- disabled=0 user=0 action=0\n"},
    };
    std::map<std::string, std::string> from_outside = {
        {"extra", "extra 6.41 built=99" + i386_plain + " bref=- disabled=0 user=0 action=0\n"},
        {"both", "both 2.0 built=20" + i386_plain + " bref=- disabled=0 user=0 action=0\n"},
    };
    const std::string no_meta = " flags=0 t24=[] arch=[] t2=[] note=[] image=0 bundle=1 deps=[] prov=[] conf=[] subs=0 files=[] bref=-";
    std::map<std::string, std::string> without_image = {
        {"oldpkg", "oldpkg 6.40.1 built=1400000000 flags=0 t24=[] arch=[] t2=[] note=[] image=0 bundle=0 deps=[kernel,0,0,0] "
                   "prov=[olds,1,2,-3] conf=[] subs=0 files=[/bin/old /etc/old] bref=- disabled=0 user=1 action=3\n"},
        {"gone", "gone " + format_version(0) + " built=0" + no_meta + " disabled=1 user=0 action=1\n"},
        {"renamed", "renamed " + format_version(0) + " built=0" + no_meta + " disabled=0 user=0 action=1\n"},
        {"dirimg", "dirimg 6.40 built=3" + no_meta + " disabled=0 user=0 action=0\n"},
    };

    std::string expected = "arch mips quiet 0 messages 0\n";
    const std::vector<std::string> order = directory_order(root.host(pdb));
    for (const auto* group : {&from_database, &from_outside, &without_image})
        for (const std::string& name : order)
            if (auto it = group->find(name); it != group->end()) expected += it->second;

    run_result r = load_in_root(root);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
}

TEST(RepositoryTest, EmptyOrMissingDatabase) {
    temp_root root;
    run_result r = load_in_root(root);
    EXPECT_EQ(r.out, "arch mips quiet 0 messages 0\n");

    // Images outside the database mean nothing without it.
    root.write_file("/rw/pckg/.images/system", build(package("system", v640, 1)));
    ASSERT_EQ(::rmdir(root.host("/flash/var/pdb").c_str()), 0);
    r = load_in_root(root);
    EXPECT_EQ(r.out, "WARNING: could not open repo\narch mips quiet 0 messages 1\n");
    r = load_in_root(root, true);
    EXPECT_EQ(r.out, "arch mips quiet 1 messages 0\n");
    EXPECT_EQ(r.status, 0);
}

TEST(RepositoryTest, HeaderNamesThatAreNoDatabaseEntryStayInsideTheDatabase) {
    temp_root root;
    const std::string pdb = "/flash/var/pdb/";
    // A package image whose header would name a directory outside the
    // database counts as one that holds no package.
    root.write_file(pdb + "evil/image", build(package("../../etc", v641, 1)));
    root.write_file(pdb + "evil/version", n(v640) + " 5\n");
    root.write_file(pdb + "evil/files", "bin/evil\n");
    root.write_file("/flash/etc/files", "etc/passwd\n");
    root.write_file("/flash/etc/version", n(v641) + " 1\n");
    // A bundle named so: no members either.
    root.write_file(pdb + "bad/image", bundle(bundle_of("..", v641, 1, {build(package("inner", v641, 1))})));
    // Members named so are left out; the others stay.
    std::string members_bundle =
        bundle(bundle_of("good", v641, 3, {build(package("a/b", v641, 1)), build(package("", v641, 1)),
                                          build(package("..", v641, 1)), build(package("fine", v641, 2))}));
    root.write_file(pdb + "good/image", members_bundle);
    // A member that breaks off stays with what could be read of it, and
    // ends the reading of the image.
    root.write_file(pdb + "partial/image",
                    qpk::encode_container(
                        {{part_type::bundle_header, qpk::encode_header(bundle_of("partial", v641, 1, {}))},
                         {part_type::package_header, qpk::encode_header(package("m1", v641, 4))},
                         {part_type::dependency_list,
                          qpk::encode_requirements({{"d", 0, 0, 0}, {"e", 0, 0, 0}}).substr(0, 34)},
                         {part_type::signature, std::string(132, '\0')},
                         {part_type::package_header, qpk::encode_header(package("m2", v641, 5))},
                         {part_type::signature, std::string(132, '\0')}},
                        false));

    const std::string bare = " flags=0 t24=[] arch=[] t2=[] note=[] image=0 bundle=1 deps=[] prov=[] conf=[] subs=0 files=[] bref=-";
    const std::string i386_plain = " flags=0 t24=[] arch=[i386] t2=[] note=[] image=0";
    std::map<std::string, std::string> records = {
        {"evil", "evil 6.40 built=5 flags=0 t24=[] arch=[] t2=[] note=[] image=0 bundle=0 deps=[] prov=[] conf=[] subs=0 "
                 "files=[/bin/evil] bref=- disabled=0 user=0 action=0\n"},
        {"bad", "bad " + format_version(0) + " built=0" + bare + " disabled=0 user=0 action=1\n"},
        {"good", "fine 6.41 built=2" + i386_plain + " bundle=0 deps=[] prov=[] conf=[] subs=0 files=[] bref=[good," + n(v641) +
                     "," + n(v641) + ",0] disabled=0 user=0 action=0\n" + "good 6.41 built=3" + i386_plain +
                     " bundle=1 deps=[] prov=[] conf=[] subs=0 files=[] bref=- disabled=0 user=0 action=0\n"},
        {"partial", "m1 6.41 built=4" + i386_plain + " bundle=0 deps=[d,0,0,0] prov=[] conf=[] subs=0 files=[] bref=[partial," +
                        n(v641) + "," + n(v641) + ",0] disabled=0 user=0 action=0\n" + "partial 6.41 built=1" + i386_plain +
                        " bundle=1 deps=[] prov=[] conf=[] subs=0 files=[] bref=- disabled=0 user=0 action=0\n"},
    };
    std::string expected = "arch mips quiet 0 messages 0\n";
    for (const std::string& name : directory_order(root.host(pdb))) expected += records[name];
    run_result r = load_in_root(root);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);
}

TEST(RepositoryTest, ImagesAreReadOnlyAsFarAsTheirDescriptions) {
    // Large image and file archive parts that must be seeked over, not read.
    qpk::package_contents big = package("big", v641, 7);
    big.note = "large";
    big.dependencies = std::vector<requirement>{{"system", v640, 0, 0}};
    big.image = random_bytes(200000);
    big.files = std::vector<qpk::file_item>{qpk::regular_file("blob", random_bytes(300000))};
    const std::string bytes = build(big);
    ASSERT_GT(bytes.size(), 500000u);

    installer_context ctx;
    counting_buffer buffer(bytes);
    std::istream source(&buffer);
    read_package_image(ctx, "big", source);
    ASSERT_EQ(ctx.packages.size(), 1u);
    EXPECT_EQ(describe(*ctx.packages[0]),
              "big 6.41 built=7 flags=0 t24=[] arch=[i386] t2=[] note=[large] image=0 bundle=0 deps=[system," + n(v640) +
                  ",0,0] prov=[] conf=[] subs=0 files=[] bref=- disabled=0 user=0 action=0\n");
    // File header, part headers and the description parts; nothing of the rest.
    EXPECT_LT(buffer.delivered, 1000u);

    // A bundle's members are reached by seeking over each member's archive.
    installer_context bundle_ctx;
    counting_buffer bundle_buffer(bundle(bundle_of("pack", v641, 8, {bytes, bytes})));
    std::istream bundle_source(&bundle_buffer);
    read_package_image(bundle_ctx, "pack", bundle_source);
    ASSERT_EQ(bundle_ctx.packages.size(), 3u);
    EXPECT_EQ(bundle_ctx.packages[0]->name, "big");
    EXPECT_EQ(bundle_ctx.packages[1]->note, "large");
    EXPECT_EQ(bundle_ctx.packages[2]->name, "pack");
    EXPECT_LT(bundle_buffer.delivered, 2000u);
}

TEST(RepositoryTest, ScansOnlyPackageFilesAndReportsBrokenOnes) {
    temp_root root;
    const std::string dir = root.host("/rw/pckg/.download/");
    root.make_dir("/rw/pckg/.download");

    qpk::package_contents a = package("alpha", v641, 11);
    a.text24 = "t24";
    a.architecture = "mips";
    a.text2 = "t2";
    a.note = "note a";
    a.provisions = std::vector<requirement>{{"alias", v640, 0, -2}};
    a.image = "IMAGE";
    const std::string alpha = build(a);
    const std::string beta = build(package("beta", v640, 12));
    write_host_file(dir + "a.qpk", alpha);
    write_host_file(dir + "b.vpk", beta);
    write_host_file(dir + "c.QPK", alpha);
    write_host_file(dir + "d.txt", alpha);
    write_host_file(dir + ".e.qpk", alpha);
    write_host_file(dir + "f.qpk", beta.substr(0, beta.size() - 1));
    write_host_file(dir + "g.qpk", bundle(bundle_of("empty", v641, 1, {})));
    qpk::package_contents m1 = package("member1", v641, 21);
    m1.note = "first";
    m1.image = "M1";
    qpk::bundle_contents h = bundle_of("suite", v641, 20, {build(m1), build(package("member2", v641, 22))});
    h.image = "SUITE";
    h.default_disabled = std::vector<requirement>{{"member2", 0, 0, 0}};
    write_host_file(dir + "h.qpk", bundle(h));
    write_host_file(dir + "i.qpk", "garbage that is no package");
    write_host_file(dir + "j.qpk", build(package("..", v641, 1)));
    write_host_file(dir + "k.vpk", bundle(bundle_of("holder", v641, 1, {build(package("x/y", v641, 1))})));
    write_host_file(dir + "l.qpk", beta + "x");
    write_host_file(dir + "p.qpk", build(package(".x", v641, 1)));  // would land in a skipped dot-directory
    // A member whose dependency list promises two entries and holds one.
    std::string short_member = qpk::encode_container(
        {{part_type::bundle_header, qpk::encode_header(bundle_of("bad", v641, 1, {}))},
         {part_type::package_header, qpk::encode_header(package("m", v641, 1))},
         {part_type::dependency_list, qpk::encode_requirements({{"d", 0, 0, 0}, {"e", 0, 0, 0}}).substr(0, 34)},
         {part_type::signature, std::string(132, '\0')}},
        false);
    write_host_file(dir + "m.qpk", short_member);
    root.make_dir("/rw/pckg/.download/n.qpk");
    // Opening a FIFO would wait for a writer that never comes.
    ASSERT_EQ(::mkfifo((dir + "o.qpk").c_str(), 0644), 0);
    const std::vector<std::string> before = root.list_dir("/rw/pckg/.download");

    captured_context c;
    candidate_list candidates;
    candidates.push_back(new_download_record());  // the scan appends
    candidates[0]->path = "earlier";
    scan_download_dir(c.ctx, dir, candidates);

    std::vector<std::string> messages = c.ctx.messages;
    std::sort(messages.begin(), messages.end());
    std::vector<std::string> expected_messages;
    for (const char* name : {"f.qpk", "g.qpk", "i.qpk", "j.qpk", "k.vpk", "l.qpk", "m.qpk", "n.qpk", "o.qpk", "p.qpk"})
        expected_messages.push_back(std::string("ERROR: broken package ") + name);
    EXPECT_EQ(messages, expected_messages);

    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(candidates[0]->path, "earlier");
    std::map<std::string, std::string> found;
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        const download_record& d = *candidates[i];
        std::string text = description_text(d) + " subs:";
        for (const auto& sub : d.sub_packages) text += " {" + description_text(*sub) + " subs=" + n(static_cast<std::uint32_t>(sub->sub_packages.size())) + "}";
        found[d.path] = text;
    }
    const std::string plain = " flags=0 t24=[] arch=[i386] t2=[] note=[] image=0 bundle=0 deps=[] prov=[] conf=[]";
    std::map<std::string, std::string> expected = {
        {dir + "a.qpk", "alpha 6.41 built=11 flags=0 t24=[t24] arch=[mips] t2=[t2] note=[note a] image=1 bundle=0 deps=[] prov=[alias," +
                            n(v640) + ",0,-2] conf=[] subs:"},
        {dir + "b.vpk", "beta 6.40 built=12" + plain + " subs:"},
        {dir + "h.qpk", "suite 6.41 built=20 flags=0 t24=[] arch=[i386] t2=[] note=[] image=1 bundle=1 deps=[] prov=[] conf=[] subs: "
                        "{member1 6.41 built=21 flags=0 t24=[] arch=[i386] t2=[] note=[first] image=1 bundle=0 deps=[] prov=[] conf=[] subs=0} "
                        "{member2 6.41 built=22" + plain + " subs=0}"},
    };
    EXPECT_EQ(found, expected);

    // Nothing is removed or added.
    EXPECT_EQ(root.list_dir("/rw/pckg/.download"), before);

    // A directory that is not there adds and reports nothing.
    captured_context quiet;
    candidate_list none;
    scan_download_dir(quiet.ctx, root.host("/rw/pckg/missing/"), none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(quiet.all(), "");
}

TEST(RepositoryTest, ReadDownloadFileSetsThePathWhateverTheOutcome) {
    temp_root root;
    const std::string good = root.host("/tmp/ok.qpk");
    write_host_file(good, build(package("ok", v641, 1)));
    auto record = new_download_record();
    EXPECT_TRUE(read_download_file(*record, good));
    EXPECT_EQ(record->path, good);
    EXPECT_EQ(record->name, "ok");

    auto missing = new_download_record();
    EXPECT_FALSE(read_download_file(*missing, root.host("/tmp/none.qpk")));
    EXPECT_EQ(missing->path, root.host("/tmp/none.qpk"));
}
