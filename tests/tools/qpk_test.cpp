// The qpk program end to end: keys, packages from a tree or a description
// file, bundles, inspect and verify, and every refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "qpk/version_text.h"
#include "stream/package_bytes.h"
#include "support/host_files.h"
#include "support/sample_packages.h"
#include "support/temp_root.h"
#include "verify/vectors.h"

namespace {

run_result run_qpk(const std::vector<std::string>& args) { return run_program(QPK_BIN, args); }

std::string part_types(const std::string& bytes) {
    std::vector<qpk::located_part> parts;
    std::string error, types;
    EXPECT_TRUE(qpk::split_parts(bytes, parts, error)) << error;
    for (const auto& p : parts) types += std::to_string(p.type) + (p.type == 9 ? "/" + std::to_string(p.length) : "") + " ";
    return types;
}

// The levels "qpk verify" prints, one line a signature part, and its status.
std::string verified(const std::string& file, const std::string& key = "") {
    run_result r = run_qpk(key.empty() ? std::vector<std::string>{"verify", file} : std::vector<std::string>{"verify", "--public-key", key, file});
    std::string levels;
    for (std::size_t at = r.out.find(": level "); at != std::string::npos; at = r.out.find(": level ", at + 1)) levels += r.out[at + 8];
    return levels + " " + std::to_string(r.status) + r.err;
}

}  // namespace

TEST(QpkTest, VersionAndRequirementTexts) {
    for (const char* text : {"6.40", "6.40.1", "6.40beta3", "6.40rc1", "6.40alpha2", "255.255.255", "0.0"}) {
        std::uint32_t version = 0;
        EXPECT_TRUE(qpk::parse_version_text(text, version)) << text;
        EXPECT_EQ(format_version(version), text);
    }
    for (const char* text : {"6", "6.", ".40", "6.256", "6.40gamma1", "6.40.1.2", "6.40rc1x", "6.40.", "6.40 ", ""}) {
        std::uint32_t version = 0;
        EXPECT_FALSE(qpk::parse_version_text(text, version)) << text;
    }
    requirement req;
    std::string error;
    ASSERT_TRUE(qpk::parse_requirement_text("system:6.40:7.0:-3", req, error)) << error;
    EXPECT_EQ(req, (requirement{"system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), -3}));
    ASSERT_TRUE(qpk::parse_requirement_text("web::6.41rc2", req, error));
    EXPECT_EQ(req, (requirement{"web", 0, make_version(6, 41, 'c', 2), 0}));
    for (const char* bad : {"", ":6.40", "a:6.x", "a:1.0:2.0:p", "a:1.0:2.0:1:9", "seventeen-chars-x"})
        EXPECT_FALSE(qpk::parse_requirement_text(bad, req, error)) << bad;
}

TEST(QpkTest, KeysPackagesBundlesInspectAndVerify) {
    temp_root dir;
    const auto at = [&](const std::string& path) { return dir.host("/tmp/" + path); };
    dir.write_file("/tmp/tree/bin/hello", "#!/bin/sh\necho hello\n");
    ::chmod(at("tree/bin/hello").c_str(), 0755);
    ::symlink("hello", at("tree/bin/hi").c_str());
    dir.write_file("/tmp/tree/etc/app/conf.d/main.conf", "key=value\n");
    ::chmod(at("tree/etc/app/conf.d/main.conf").c_str(), 0600);
    dir.write_file("/tmp/tree/etc/app/blob", byte_pattern(70000));
    dir.make_dir("/tmp/tree/var/empty");
    dir.write_file("/tmp/image", "IMAGE");
    ASSERT_EQ(run_qpk({"keygen", "-o", at("mine")}).status, 0);
    EXPECT_EQ(mode_of(at("mine.private")), 0600u);
    run_result again = run_qpk({"keygen", "-o", at("mine")});
    EXPECT_TRUE(again.status == 1 && again.err.find("exists") != std::string::npos) << again.err;
    ASSERT_EQ(run_qpk({"keygen", "--table", samples::development_public_key, "-o", at("shared")}).status, 0);

    run_result r = run_qpk({"build", "-o", at("hello.qpk"), "--name", "hello", "--version", "6.40beta3", "--build-time", "1700000000", "--arch", "powerpc",
                        "--note", "the note", "--text24", "t24", "--text2", "t2", "--depends", "system:6.40:7.0", "--provides", "web:1.0::5",
                        "--conflicts", "old", "--boot", "--image", at("image"), "--class", "bin/hello=3", "--key", at("mine.private"), at("tree")});
    ASSERT_EQ(r.out + r.err + std::to_string(r.status), "0");
    const std::string hello = read_host_file(at("hello.qpk"));
    EXPECT_EQ(part_types(hello), "1 24 16 2 23 3 19 17 21 4 9/132 ");
    r = run_qpk({"inspect", at("hello.qpk")});
    for (const char* line : {"name          \"hello\"", "version       6.40beta3", "architecture  \"powerpc\"", "note          \"the note\"",
                             "header flags  0x00000001 boot", "depends       \"system\" min 6.40 max 7.0 precedence 0",
                             "provides      \"web\" min 1.0 max - precedence 5", "image part    yes", "100755     3         21  \"bin/hello\"",
                             "120777     0          5  \"bin/hi\" -> \"hello\"", "100600     0         10  \"etc/app/conf.d/main.conf\"",
                             "100644     0      70000  \"etc/app/blob\"", "\"var/empty\"", "signature at offset"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(verified(at("hello.qpk"), at("mine.public")), "2 0");
    EXPECT_EQ(verified(at("hello.qpk"), samples::development_public_key), "0 1");
    EXPECT_EQ(run_qpk({"verify", "--public-key", at("mine.public"), at("hello.qpk")}).out,
              "hello-6.40beta3: signature at offset " + std::to_string(hello.size() - 132) + ", 132 bytes: level 2\n");

    dir.write_file("/tmp/desc", "# a package\nname = routing\nversion = 6.41rc1\nbuild-time = 42\narch = mips\ndepends = system:6.41\n"
                                "no-meta\nboot = no\nsecond-magic = yes\nsha256 = yes\nsignature-length = 68\nimage = image\ndirectory = tree\n");
    ASSERT_EQ(run_qpk({"build", "-d", at("desc"), "-o", at("routing.vpk"), "--version", "6.41", "--depends", "x"}).status, 0);
    r = run_qpk({"inspect", at("routing.vpk")});
    EXPECT_EQ(part_types(read_host_file(at("routing.vpk"))), "25 1 16 3 21 4 9/68 ");
    for (const char* line : {"version       6.41 (", "header flags  0x00000002", "\"system\" min 6.41", "\"x\" min -"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    ASSERT_EQ(run_qpk({"build", "-o", at("short.qpk"), "--name", "s", "--version", "1.0", "--short-header"}).status, 0);
    EXPECT_EQ(read_host_file(at("short.qpk")).substr(10, 4), test_bytes::le32(32));

    // Bundles: signed member by member with --key (levels 1 or 2, SHA-256
    // before the bundle header); a member without a signature part refused;
    // unsigned, the members keep their own signatures, and qpk warns of one
    // that no longer holds behind a member that switched to SHA-256.
    const std::string a = at("a.qpk"), b = at("b.qpk"), c = at("c.qpk"), out = at("bundle.qpk");
    ASSERT_EQ(run_qpk({"build", "-o", a, "--name", "alpha", "--version", "1.0", "--sha256", "--key", samples::development_private_key}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", b, "--name", "beta", "--version", "1.0", "--key", samples::development_private_key}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", c, "--name", "gamma", "--version", "1.0", "--key", at("mine.private")}).status, 0);
    const std::vector<std::string> bundle = {"bundle", "-o", out, "--name", "pack", "--version", "1.0"};
    const struct {
        std::vector<std::string> options, members;
        std::string types, levels, key, err;
    } bundles[] = {
        {{"--key", samples::development_private_key, "--disabled", "beta", "--trailing-arch", "mips"}, {c, a, b},
         "18 20 1 9/132 25 1 9/132 1 9/132 16 ", "222 0", samples::development_public_key, ""},
        {{"--key", samples::development_private_key, "--level", "1"}, {a, b}, "18 25 1 9/68 1 9/68 ", "11 0", samples::development_public_key, ""},
        {{"--key", samples::development_private_key, "--sha256"}, {b}, "25 18 1 9/132 ", "2 0", samples::development_public_key, ""},
        {{}, {c, b, a}, "18 1 9/132 1 9/132 25 1 9/132 ", "200 1", at("mine.public"), ""},
        {{}, {a, b}, "18 25 1 9/132 1 9/132 ", "20 1", samples::development_public_key, "warning: " + b + ": its signature does not hold"},
    };
    for (const auto& bc : bundles) {
        std::vector<std::string> args = bundle;
        args.insert(args.end(), bc.options.begin(), bc.options.end());
        args.insert(args.end(), bc.members.begin(), bc.members.end());
        r = run_qpk(args);
        EXPECT_TRUE(r.status == 0 && r.err.find(bc.err) != std::string::npos && r.err.empty() == bc.err.empty()) << r.err;
        EXPECT_EQ(part_types(read_host_file(out)), bc.types);
        EXPECT_EQ(verified(out, bc.key), bc.levels) << bc.types;
    }
    EXPECT_NE(run_qpk({"inspect", out}).out.find("bundle at offset 14"), std::string::npos);
    dir.write_file("/tmp/bare.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    r = run_qpk({"bundle", "-o", at("refused.qpk"), "--name", "p", "--version", "1.0", "--key", samples::development_private_key, a, at("bare.qpk")});
    EXPECT_EQ(r.err + std::to_string(r.status), "qpk bundle: " + at("bare.qpk") + ": no signature part to sign\n1");
    EXPECT_FALSE(dir.exists("/tmp/refused.qpk"));

    // The shared package files: inspected whole, verified with a key file
    // made from the vectors' keys and with the build's when they are those.
    write_host_file(at("vectors.public"), signing::format_public_keys(test_vectors::package_vector_keys()));
    for (const auto& vf : test_bytes::read_vector_files(std::string(VECTORS_DIR) + "/packages.txt")) {
        write_host_file(at("vector.qpk"), vf.bytes);
        std::string levels;
        for (int level : vf.levels) levels += std::to_string(level);
        const std::string expected = levels + (levels.find('0') == std::string::npos ? " 0" : " 1");
        EXPECT_EQ(verified(at("vector.qpk"), at("vectors.public")), expected) << vf.comment;
        if (test_vectors::build_has_vector_keys()) { EXPECT_EQ(verified(at("vector.qpk")), expected) << vf.comment; }
        r = run_qpk({"inspect", at("vector.qpk")});
        EXPECT_EQ(r.err + std::to_string(r.status), "0") << vf.comment;
        for (const auto& range : test_bytes::signature_ranges(vf.bytes)) {
            const test_bytes::digest d = test_bytes::digest_of(vf.bytes.substr(range.begin, range.end - range.begin), range.sha256);
            EXPECT_NE(r.out.find(test_bytes::to_hex(d.data(), range.sha256 ? 32 : 20)), std::string::npos) << vf.comment;
        }
    }
}

TEST(QpkTest, HelpAndErrors) {
    for (const char* command : {"build", "bundle", "inspect", "keygen", "verify"}) {
        run_result r = run_qpk({command, "--help"});
        EXPECT_EQ(r.out.rfind(std::string("usage: qpk ") + command, 0) + r.status, 0u) << r.out;
    }
    EXPECT_NE(run_qpk({"--help"}).out.find("keygen"), std::string::npos);
    temp_root dir;
    const auto at = [&](const std::string& path) { return dir.host("/tmp/" + path); };
    dir.write_file("/tmp/tree/f", "f");
    dir.write_file("/tmp/not-a-package", "hello, world");
    dir.write_file("/tmp/bad-desc", "name = x\ncolour = blue\n");
    ASSERT_EQ(run_qpk({"build", "-o", at("ok.qpk"), "--name", "ok", "--version", "1.0", at("tree")}).status, 0);
    dir.write_file("/tmp/truncated.qpk", dir.read_file("/tmp/ok.qpk").substr(0, 30));
    dir.write_file("/tmp/unsigned.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    const std::string out = at("out.qpk"), dev = samples::development_private_key;
    const std::vector<std::string> build = {"build", "-o", out, "--name", "x", "--version", "1.0"};
    const auto with = [&](std::vector<std::string> more, std::vector<std::string> args) { return args.insert(args.end(), more.begin(), more.end()), args; };
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{}, 2, "usage: qpk"}, {{"frobnicate"}, 2, "unknown command"},
        {{"build", "-o", out, "--version", "1.0"}, 2, "name"}, {{"build", "-o", out, "--name", "x"}, 2, "version"},
        {{"build", "-o", out, "--name", "seventeen-chars-x", "--version", "1.0"}, 2, "16 characters"},
        {with({"--bogus"}, build), 2, "unknown option --bogus"}, {with({"--boot=yes"}, build), 2, "takes no value"},
        {{"build", "-o", out, "--name", "x", "--version", "6.4x"}, 2, "bad version"}, {with({"--depends", "a:bad"}, build), 2, "bad minimum version"},
        {with({"--signature-length", "100"}, build), 2, "132 or 68"}, {with({"--class", "nothing=3", at("tree")}, build), 2, "no entry nothing"},
        {with({"--boot", "--short-header"}, build), 2, "no header flags"}, {with({at("missing")}, build), 1, "cannot stat"},
        {with({at("not-a-package")}, build), 1, "not a directory"}, {with({"--image", at("missing")}, build), 1, "cannot open"},
        {{"build", "-o", at("missing/out.qpk"), "--name", "x", "--version", "1.0"}, 1, "cannot create"},
        {{"build", "-d", at("missing")}, 1, "cannot open"}, {{"build", "-d", at("bad-desc")}, 1, "bad-desc:2: unknown key \"colour\""},
        {with({"--level", "1"}, build), 2, "--level needs --key"}, {with({"--key", dev, "--level", "3"}, build), 2, "level is 1 or 2"},
        {with({"--key", dev, "--level", "2", "--signature-length", "68"}, build), 2, "not 68"},
        {with({"--key", dev, "--level", "1", "--signature-length", "132"}, build), 2, "not 132"},
        {with({"--key", at("missing")}, build), 1, "cannot read"}, {with({"--key", samples::development_public_key}, build), 1, "unknown key"},
        {{"inspect"}, 2, "exactly one"}, {{"inspect", at("missing")}, 1, "cannot open"},
        {{"inspect", at("not-a-package")}, 1, "not a package file"}, {{"inspect", at("truncated.qpk")}, 1, "header says"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0"}, 2, "no member"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", at("missing")}, 1, "cannot open"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", at("not-a-package")}, 1, "not-a-package: not a package file"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--depends", "x", at("ok.qpk")}, 2, "unknown option"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--sha256", at("ok.qpk")}, 2, "give --key"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--level", "1", at("ok.qpk")}, 2, "--level needs --key"},
        {{"verify"}, 2, "exactly one"}, {{"verify", "--bogus", at("ok.qpk")}, 2, "unknown option"},
        {{"verify", at("missing")}, 1, "cannot open"}, {{"verify", at("not-a-package")}, 1, "not a package file"},
        {{"verify", at("unsigned.qpk")}, 1, "no signature part"}, {{"verify", "--public-key", dev, at("ok.qpk")}, 1, "unknown key"},
        {{"keygen"}, 2, "no output"}, {{"keygen", "-o", at("k"), "extra"}, 2, "unexpected argument"},
        {{"keygen", "--table", at("not-a-package"), "-o", at("k")}, 1, "neither a public nor a private"},
    };
    for (const auto& c : cases) {
        run_result r = run_qpk(c.args);
        EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args.back()) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(dir.exists("/tmp/k.private") || dir.exists("/tmp/k.public"));  // a failed keygen leaves no half pair
}
