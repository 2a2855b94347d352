// The qpk program end to end: keys, packages from a tree or a description file, bundles, inspect and verify, and their
// refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>

#include "qpk/inspect.h"
#include "stream/package_bytes.h"
#include "support/host_files.h"
#include "support/hostile_files.h"
#include "support/limited_run.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

namespace {

// Every '@' in text stands for the directory dir.
std::string expand(std::string text, const std::string& dir) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
        text.replace(at, 1, dir + "/");
    return text;
}

// qpk with args, after leading NAME=VALUE words set in its environment, stopped by an alarm should it wait for ever.
// Three more commands: "check FILE KEYFILE" gives the file's part types ("9/132" for a signature part of 132 bytes) and
// the levels "qpk verify" prints for it; "list FILE" runs the inspection in a child with little memory to spare, its
// listing dropped; "same FILE FILE" fails unless the two hold the same bytes.
run_result run_qpk(std::vector<std::string> args) {
    std::vector<std::string> env;
    for (; !args.empty() && args[0].find('=') != std::string::npos; args.erase(args.begin())) env.push_back(args[0]);
    if (!args.empty() && args[0] == "list")
        return run_limited("", [&] { return qpk::inspect_file(args[1], std::fopen("/dev/null", "w"), stderr); });
    if (!args.empty() && args[0] == "same") return {"", "", read_host_file(args[1]) == read_host_file(args[2]) ? 0 : 1};
    if (args.empty() || args[0] != "check")
        return run_limited("", [&] {
            for (std::string& assignment : env) ::putenv(assignment.data());
            return exec_program(QPK_BIN, args);
        }, 0);
    std::vector<qpk::located_part> parts;
    std::string error;
    std::string text = "parts:";
    qpk::split_parts(read_host_file(args[1]), parts, error);
    for (const auto& p : parts)
        text += " " + std::to_string(p.type) + (p.type == 9 ? "/" + std::to_string(p.length) : "");
    run_result r = run_qpk({"verify", "--public-key", args[2], args[1]});
    text += "\nlevels: ";
    for (std::size_t at = r.out.find(": level "); at != std::string::npos; at = r.out.find(": level ", at + 1))
        text += r.out[at + 8];
    r.out = text + "\n";
    return r;
}

}  // namespace

// Runs of qpk in order, in one directory: keys; a package from a tree with every option, signed; one from a description
// file; bundles signed member by member or kept as they are; every refusal, each with its status and message; and
// files that never end, would make it wait for ever, or cost far more memory than their size when kept.
TEST(QpkTest, Commands) {
    temp_root root;
    const std::string dir = root.host("/tmp");
    const std::string dev = samples::development_private_key;
    const std::string dev_public = samples::development_public_key;
    root.write_file("/tmp/tree/bin/hello", "#!/bin/sh\n");
    ::chmod((dir + "/tree/bin/hello").c_str(), 0755);
    root.write_file("/tmp/blank/a b", "");
    root.write_file("/tmp/linked/bin/hello", "");
    ::symlink("hello", (dir + "/linked/bin/hi").c_str());
    root.write_file("/tmp/tree/etc/blob", byte_pattern(70000));
    root.make_dir("/tmp/tree/var/empty");
    root.write_file("/tmp/image", "IMAGE");
    root.write_file("/tmp/desc", "# a package\nname = routing\nversion = 6.41rc1\narch = mips\ndepends = system:6.41\n"
                                 "no-meta\nsecond-magic = yes\nsha256 = yes\nsignature-length = 68\nimage = image\n"
                                 "directory = tree\n");
    root.write_file("/tmp/not-a-package", "hello, world");
    root.write_file("/tmp/bad-desc", "name = x\ncolour = blue\n");
    root.write_file("/tmp/bare.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    root.write_file("/tmp/truncated.qpk", root.read_file("/tmp/bare.qpk").substr(0, 30));
    ASSERT_EQ(::mkfifo((dir + "/fifo.qpk").c_str(), 0644), 0);
    qpk::package_contents names;  // 600 names of 64 KiB: 39 MB when kept, from a file of a few kilobytes
    names.files = std::vector<qpk::file_item>(600, qpk::regular_file(std::string(65535, 'n'), ""));
    root.write_file("/tmp/names.qpk", qpk::build_package(names));
    root.write_file("/tmp/members.vpk", hostile_files::bundle_of_bare_members("b", 1025));
    qpk::package_contents links;  // the tool never writes a link, but inspects one
    links.files = std::vector<qpk::file_item>{qpk::symlink_entry("bin/hi", "hello")};
    root.write_file("/tmp/links.qpk", qpk::build_package(links));
    const std::string b = "build -o @out.qpk --name x --version 1.0 ";
    const std::string pack = "bundle -o @pack.qpk --name pack --version 1.0 --image @image ";
    const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 build --name r --version 1.0 --key " + dev + " --level 1 ";
    const struct {
        std::string args;  // split at spaces; '@' stands for the directory, as in texts
        int status;
        std::vector<std::string> texts;  // each in what the run printed (standard output, then error)
    } runs[] = {
        {"keygen -o @mine", 0, {}},
        {"keygen -o @mine", 1, {"exists"}},
        {"build -o @hello.qpk --name hello --version 6.40beta3 --build-time 4294967295 --arch powerpc --note n"
         " --text24 t24 --text2 t2 --depends system:6.40:7.0 --provides web:1.0::5 --conflicts old --boot"
         " --image @image --class bin/hello=3 --key @mine.private @tree", 0, {"warning: var/empty: an empty directory"}},
        {"check @hello.qpk @mine.public", 0, {"parts: 1 24 16 2 23 3 19 17 21 4 9/132\nlevels: 2\n"}},
        {"check @hello.qpk " + dev_public, 1, {"levels: 0\n"}},
        {"inspect @hello.qpk", 0,
         {"name          \"hello\"", "version       6.40beta3", "4294967295 (Feb/07/2106 06:28:15)",
          "architecture  \"powerpc\"", "header flags  0x00000001 boot",
          "provides      \"web\" min 1.0 max - precedence 5", "image part    yes",
          "100755     3         10  \"bin/hello\"",
          "100644     0      70000  \"etc/blob\"", "\"var/empty\""}},
        {"build -d @desc -o @routing.vpk --version 6.41 --depends x --key " + dev + " --level 1", 0, {}},
        {"check @routing.vpk " + dev_public, 0, {"parts: 25 1 16 3 21 4 9/68\nlevels: 1\n"}},
        {"inspect @routing.vpk", 0,
         {"version       6.41 (", "architecture  \"mips\"", "header flags  0x00000002", "\"system\" min 6.41", "\"x\" min -", "second-kind"}},
        {"verify @hello.qpk", 1, {": level 0, not trusted\n"}},
        {"build -o @a.qpk --name alpha --version 1.0 --sha256 --key " + dev, 0, {}},
        {"build -o @b.qpk --name beta --version 1.0 --key " + dev, 0, {}},
        {pack + "--key " + dev + " --disabled beta --trailing-arch mips @b.qpk @a.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 18 21 20 1 9/132 25 1 9/132 16\nlevels: 22\n"}},
        {pack + "--key " + dev + " --level 1 @a.qpk @b.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 18 21 25 1 9/68 1 9/68\nlevels: 11\n"}},
        {pack + "--key " + dev + " --sha256 @b.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 25 18 21 1 9/132\nlevels: 2\n"}},
        {pack + "@b.qpk @a.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 18 21 1 9/132 25 1 9/132\nlevels: 22\n"}},
        // Kept as they are, beta's signature no longer holds behind alpha's hash switch.
        {pack + "@a.qpk @b.qpk", 0, {"warning: @b.qpk: its signature does not hold"}},
        {"check @pack.qpk " + dev_public, 1, {"parts: 18 21 25 1 9/132 1 9/132\nlevels: 20\n"}},
        // Signed again as it stands, without rebuilding: both hold, at the level asked for.
        {"sign --key " + dev + " @pack.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 18 21 25 1 9/132 1 9/132\nlevels: 22\n"}},
        // A member is taken through its signature: what may follow a stand-alone package's would end the members.
        {"build -o @t.qpk --name tee --version 1.0 --trailing-arch mips --key " + dev, 0, {}},
        {pack + "@t.qpk", 0, {}},
        {"check @pack.qpk " + dev_public, 0, {"parts: 18 21 1 9/132\nlevels: 2\n"}},
        {"build -o @u.qpk --name u --version 1.0", 0, {"warning: @u.qpk is unsigned"}},
        {"verify @u.qpk", 1, {"u-1.0: signature at offset 56, 132 bytes: level 0, unsigned\n"}},
        {pack + "@u.qpk", 0, {"warning: @u.qpk is unsigned"}},
        {"sign --key " + dev + " --level 1 -o @signed.qpk @u.qpk", 0, {}},
        {"check @signed.qpk " + dev_public, 0, {"parts: 1 9/68\nlevels: 1\n"}},
        {"sign --key " + dev + " @bare.qpk", 1, {"no signature part"}},
        // The same tree, key and SOURCE_DATE_EPOCH give the same bytes, signatures included.
        {epoch + "-o @r1.qpk @tree", 0, {}},
        {epoch + "-o @r2.qpk @tree", 0, {}},
        {"same @r1.qpk @r2.qpk", 0, {}},
        {"inspect @r1.qpk", 0, {"build time    1700000000 "}},
        {"bundle -o @refused.qpk --name p --version 1.0 --image @image --key " + dev + " @a.qpk @bare.qpk", 1,
         {"qpk bundle: @bare.qpk: no signature part\n"}},
        {"bundle -o @refused.qpk --name pack --version 1.0 @a.qpk", 1, {"needs an image part (--image FILE)"}},
        {pack + "@pack.qpk", 1, {"a bundle cannot be a member"}},
        {pack + "--disabled beta @a.qpk", 1, {"--disabled beta: no member of that name"}},
        {"bundle -o @refused.qpk --name alpha --version 1.0 --image @image @a.qpk", 1, {"member named like its bundle"}},
        {b + "@linked", 1, {"@linked/bin/hi: a symbolic link; the installer installs only regular files"}},
        {b + "@blank", 1, {"refuses the entry \"a b\""}},
        {"build -o @out.qpk --name image --version 1.0", 1, {"refuses the package name \"image\""}},
        {"", 2, {"usage: qpk"}},
        {"--version", 0, {"qpk "}},
        {"frobnicate", 2, {"unknown command"}},
        {"build -o @out.qpk --name seventeen-chars-x --version 1.0", 2, {"16 characters"}},
        {b + "--bogus", 2, {"unknown option --bogus"}},
        {b + "--depends a:bad", 2, {"bad minimum version"}},
        {b + "--signature-length 100", 2, {"132 or 68"}},
        {b + "--class nothing=3 @tree", 2, {"no entry nothing"}},
        {b + "--boot --short-header", 2, {"no header flags"}},
        {b + "@missing", 1, {"cannot stat"}},
        {b + "@not-a-package", 1, {"not a directory"}},
        {b + "--image @missing", 1, {"cannot open"}},
        {"build -o @missing/out.qpk --name x --version 1.0", 1, {"cannot create"}},
        {"build -d @bad-desc", 1, {"bad-desc:2: unknown key \"colour\""}},
        {b + "--level 1", 2, {"--level needs --key"}},
        {b + "--key " + dev + " --level 3", 2, {"level is 1 or 2"}},
        {b + "--key " + dev + " --level 2 --signature-length 68", 2, {"not 68"}},
        {b + "--key " + dev_public, 1, {"unknown key"}},
        {"inspect @not-a-package", 1, {"not a package file"}},
        {"inspect @truncated.qpk", 1, {"header says"}},
        {"inspect @image", 1, {"not a package file: shorter than a file header"}},
        {b + "--short-header", 0, {}},
        {"inspect @out.qpk", 0, {"     1         32  package header"}},
        {"inspect /dev/zero", 1, {"cannot open /dev/zero: not a regular file"}},
        {"inspect @fifo.qpk", 1, {"not a regular file"}},
        {"list @names.qpk", 0, {}},
        {"inspect @links.qpk", 0, {"120777     0          5  \"bin/hi\" -> \"hello\""}},
        {"list @members.vpk", 1, {"more than 1024 members: the installer refuses it"}},
        {pack, 2, {"no member"}},
        {pack + "@not-a-package", 1, {"not-a-package: not a package file"}},
        {pack + "--depends x @a.qpk", 2, {"unknown option"}},
        {pack + "--sha256 @a.qpk", 2, {"give --key"}},
        {"verify @missing", 1, {"cannot open"}},
        {"verify @fifo.qpk", 1, {"not a regular file"}},
        {"verify @bare.qpk", 1, {"no signature part"}},
        {"verify --public-key " + dev + " @a.qpk", 1, {"unknown key"}},
        {"verify --public-key @missing @a.qpk", 1, {"cannot read"}},
        {"keygen --table @not-a-package -o @k", 1, {"neither a public nor a private"}},
    };
    for (const auto& run : runs) {
        std::istringstream words(expand(run.args, dir));
        std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        const run_result r = run_qpk(args);
        SCOPED_TRACE(testing::PrintToString(args) + "\n" + r.out + r.err);
        EXPECT_EQ(r.status, run.status);
        for (const std::string& text : run.texts) EXPECT_NE((r.out + r.err).find(expand(text, dir)), std::string::npos);
    }
    EXPECT_EQ(mode_of(dir + "/mine.private"), 0600u);
    EXPECT_FALSE(root.exists("/tmp/refused.qpk"));  // a refused bundle leaves no file
    EXPECT_FALSE(root.exists("/tmp/k.private") || root.exists("/tmp/k.public"));  // nor a failed keygen half a pair
    for (const char* command : {"build", "bundle", "sign", "inspect", "keygen", "verify"})
        EXPECT_EQ(run_qpk({command, "--help"}).out.rfind(std::string("usage: qpk ") + command, 0), 0u);
}

// The shared package files: "qpk verify" gives their levels under a key file made from the vectors' keys, failing
// where one is 0, and "qpk inspect" shows the digest each signature covers.
TEST(QpkTest, VectorFiles) {
    temp_root root;
    const std::string keys = root.host("/tmp/vectors.public");
    const std::string file = root.host("/tmp/vector.qpk");
    write_host_file(keys, signing::format_public_keys(test_vectors::package_vector_keys()));
    for (const auto& [levels, bytes] : test_vectors::package_files()) {
        write_host_file(file, bytes);
        const run_result r = run_qpk({"check", file, keys});
        EXPECT_NE(r.out.find("levels: " + levels + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.status, levels.find('0') == std::string::npos ? 0 : 1);
        const std::string listing = run_qpk({"inspect", file}).out;
        for (const auto& range : test_bytes::signature_ranges(bytes)) {
            const std::string covered = bytes.substr(range.begin, range.end - range.begin);
            EXPECT_NE(listing.find(test_bytes::digest_of(covered, range.sha256).substr(0, range.sha256 ? 64 : 40)),
                      std::string::npos);
        }
    }
}
