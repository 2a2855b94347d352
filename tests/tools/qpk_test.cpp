// The qpk program end to end: keys, packages from a tree or a description file, bundles, inspect and verify, and their refusals.
#include <gtest/gtest.h>

#include "qpk/version_text.h"
#include "stream/package_bytes.h"
#include "support/host_files.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

namespace {

run_result run_qpk(const std::vector<std::string>& args) { return run_program(QPK_BIN, args); }

std::string part_types(const std::string& bytes) {
    std::vector<qpk::located_part> parts;
    std::string error, types;
    qpk::split_parts(bytes, parts, error);
    for (const auto& p : parts) types += std::to_string(p.type) + (p.type == 9 ? "/" + std::to_string(p.length) : "") + " ";
    return types;
}

// The levels "qpk verify" prints, then its status and standard error.
std::string verified(const std::string& file, const std::string& key) {
    run_result r = run_qpk({"verify", "--public-key", key, file});
    std::string levels;
    for (std::size_t at = r.out.find(": level "); at != std::string::npos; at = r.out.find(": level ", at + 1)) levels += r.out[at + 8];
    return levels + " " + std::to_string(r.status) + r.err;
}

}  // namespace

TEST(QpkTest, VersionTexts) {
    for (const char* text : {"6.40", "6.40.1", "6.40beta3", "6.40rc1", "6.40alpha2", "255.255.255"}) {
        std::uint32_t version = 0;
        EXPECT_EQ(qpk::parse_version_text(text, version) ? format_version(version) : "", text);
    }
    for (const char* text : {"6", ".40", "6.256", "6.40gamma1", "6.40.1.2", "6.40rc1x", "6.40 ", ""}) {
        std::uint32_t version = 0;
        EXPECT_FALSE(qpk::parse_version_text(text, version)) << text;
    }
    requirement req;
    std::string error;
    EXPECT_TRUE(qpk::parse_requirement_text("system:6.40:7.0:-3", req, error) && (req == requirement{"system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), -3}));
    for (const char* bad : {"", ":6.40", "a:6.x", "a:1.0:2.0:p", "a:1.0:2.0:1:9", "seventeen-chars-x"}) { EXPECT_FALSE(qpk::parse_requirement_text(bad, req, error)) << bad; }
}

// Keys, a package from a tree with every option and signed, one from a description file, bundles signed member by member or kept
// as they are, the shared package files inspected and verified.
TEST(QpkTest, KeysPackagesBundlesInspectAndVerify) {
    temp_root dir;
    const auto at = [&](const std::string& path) { return dir.host("/tmp/" + path); };
    const std::string dev = samples::development_private_key, dev_public = samples::development_public_key;
    dir.write_file("/tmp/tree/bin/hello", "#!/bin/sh\n");
    ::chmod(at("tree/bin/hello").c_str(), 0755);
    ::symlink("hello", at("tree/bin/hi").c_str());
    dir.write_file("/tmp/tree/etc/blob", byte_pattern(70000));
    dir.make_dir("/tmp/tree/var/empty");
    dir.write_file("/tmp/image", "IMAGE");
    ASSERT_EQ(run_qpk({"keygen", "-o", at("mine")}).status, 0);
    const run_result again = run_qpk({"keygen", "-o", at("mine")});
    EXPECT_TRUE(mode_of(at("mine.private")) == 0600 && again.status == 1 && again.err.find("exists") != std::string::npos) << again.err;
    run_result r = run_qpk({"build", "-o", at("hello.qpk"), "--name", "hello", "--version", "6.40beta3", "--build-time", "1700000000", "--arch", "powerpc", "--note", "the note",
                            "--text24", "t24", "--text2", "t2", "--depends", "system:6.40:7.0", "--provides", "web:1.0::5", "--conflicts", "old", "--boot",
                            "--image", at("image"), "--class", "bin/hello=3", "--key", at("mine.private"), at("tree")});
    EXPECT_EQ(r.out + r.err + part_types(read_host_file(at("hello.qpk"))), "1 24 16 2 23 3 19 17 21 4 9/132 ");
    r = run_qpk({"inspect", at("hello.qpk")});
    for (const char* line : {"name          \"hello\"", "version       6.40beta3", "architecture  \"powerpc\"", "header flags  0x00000001 boot",
                             "provides      \"web\" min 1.0 max - precedence 5", "image part    yes", "100755     3         10  \"bin/hello\"",
                             "120777     0          5  \"bin/hi\" -> \"hello\"", "100644     0      70000  \"etc/blob\"", "\"var/empty\""})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(verified(at("hello.qpk"), at("mine.public")) + verified(at("hello.qpk"), dev_public), "2 00 1");
    dir.write_file("/tmp/desc", "# a package\nname = routing\nversion = 6.41rc1\narch = mips\ndepends = system:6.41\nno-meta\nsecond-magic = yes\n"
                                "sha256 = yes\nsignature-length = 68\nimage = image\ndirectory = tree\n");
    ASSERT_EQ(run_qpk({"build", "-d", at("desc"), "-o", at("routing.vpk"), "--version", "6.41", "--depends", "x", "--key", dev, "--level", "1"}).status, 0);
    r = run_qpk({"inspect", at("routing.vpk")});
    EXPECT_EQ(part_types(read_host_file(at("routing.vpk"))) + verified(at("routing.vpk"), dev_public), "25 1 16 3 21 4 9/68 1 0");
    for (const char* line : {"version       6.41 (", "header flags  0x00000002", "\"system\" min 6.41", "\"x\" min -", "second-kind"}) EXPECT_NE(r.out.find(line), std::string::npos) << line;

    const std::string a = at("a.qpk"), b = at("b.qpk"), out = at("bundle.qpk");
    ASSERT_EQ(run_qpk({"build", "-o", a, "--name", "alpha", "--version", "1.0", "--sha256", "--key", dev}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", b, "--name", "beta", "--version", "1.0", "--key", dev}).status, 0);
    const std::tuple<std::vector<std::string>, std::string, std::string> bundles[] = {  // options and members, parts, what verify says
        {{"--key", dev, "--disabled", "beta", "--trailing-arch", "mips", b, a}, "18 20 1 9/132 25 1 9/132 16 ", "22 0"},
        {{"--key", dev, "--level", "1", a, b}, "18 25 1 9/68 1 9/68 ", "11 0"}, {{"--key", dev, "--sha256", b}, "25 18 1 9/132 ", "2 0"},
        {{b, a}, "18 1 9/132 25 1 9/132 ", "22 0"}, {{a, b}, "18 25 1 9/132 1 9/132 ", "20 1"}};  // beta no longer holds behind alpha's switch
    for (const auto& [args, parts, levels] : bundles) {
        std::vector<std::string> command = {"bundle", "-o", out, "--name", "pack", "--version", "1.0"};
        command.insert(command.end(), args.begin(), args.end());
        r = run_qpk(command);
        EXPECT_TRUE(r.status == 0 && (levels == "20 1") == (r.err.find("warning: " + b + ": its signature does not hold") != std::string::npos)) << r.err;
        EXPECT_EQ(part_types(read_host_file(out)) + verified(out, dev_public), parts + levels);
    }
    dir.write_file("/tmp/bare.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    r = run_qpk({"bundle", "-o", at("refused.qpk"), "--name", "p", "--version", "1.0", "--key", dev, a, at("bare.qpk")});
    EXPECT_EQ(r.err + std::to_string(r.status) + std::to_string(dir.exists("/tmp/refused.qpk")), "qpk bundle: " + at("bare.qpk") + ": no signature part to sign\n10");

    write_host_file(at("vectors.public"), signing::format_public_keys(test_vectors::package_vector_keys()));
    for (const auto& vf : test_bytes::read_vector_files(std::string(VECTORS_DIR) + "/packages.txt")) {
        write_host_file(at("vector.qpk"), vf.bytes);
        std::string levels;
        for (int level : vf.levels) levels += std::to_string(level);
        EXPECT_EQ(verified(at("vector.qpk"), at("vectors.public")), levels + (levels.find('0') == std::string::npos ? " 0" : " 1")) << vf.comment;
        r = run_qpk({"inspect", at("vector.qpk")});
        for (const auto& range : test_bytes::signature_ranges(vf.bytes)) {
            const test_bytes::digest d = test_bytes::digest_of(vf.bytes.substr(range.begin, range.end - range.begin), range.sha256);
            EXPECT_NE(r.out.find(test_bytes::to_hex(d.data(), range.sha256 ? 32 : 20)), std::string::npos) << vf.comment;
        }
    }
}

TEST(QpkTest, HelpAndErrors) {
    for (const char* command : {"build", "bundle", "inspect", "keygen", "verify"}) { EXPECT_EQ(run_qpk({command, "--help"}).out.rfind(std::string("usage: qpk ") + command, 0), 0u); }
    temp_root dir;
    const auto at = [&](const std::string& path) { return dir.host("/tmp/" + path); };
    dir.write_file("/tmp/tree/f", "f");
    dir.write_file("/tmp/not-a-package", "hello, world");
    dir.write_file("/tmp/bad-desc", "name = x\ncolour = blue\n");
    dir.write_file("/tmp/unsigned.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    ASSERT_EQ(run_qpk({"build", "-o", at("ok.qpk"), "--name", "ok", "--version", "1.0", at("tree")}).status, 0);
    dir.write_file("/tmp/truncated.qpk", dir.read_file("/tmp/ok.qpk").substr(0, 30));
    const std::string out = at("out.qpk"), dev = samples::development_private_key;
    const auto build = [&](std::vector<std::string> more) { return more.insert(more.begin(), {"build", "-o", out, "--name", "x", "--version", "1.0"}), more; };
    const auto bundle = [&](std::vector<std::string> more) { return more.insert(more.begin(), {"bundle", "-o", out, "--name", "b", "--version", "1.0"}), more; };
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{}, 2, "usage: qpk"}, {{"frobnicate"}, 2, "unknown command"}, {{"build", "-o", out, "--version", "1.0"}, 2, "name"},
        {{"build", "-o", out, "--name", "seventeen-chars-x", "--version", "1.0"}, 2, "16 characters"}, {build({"--bogus"}), 2, "unknown option --bogus"},
        {build({"--boot=yes"}), 2, "takes no value"}, {build({"--depends", "a:bad"}), 2, "bad minimum version"}, {build({"--signature-length", "100"}), 2, "132 or 68"},
        {build({"--class", "nothing=3", at("tree")}), 2, "no entry nothing"}, {build({"--boot", "--short-header"}), 2, "no header flags"},
        {build({at("missing")}), 1, "cannot stat"}, {build({at("not-a-package")}), 1, "not a directory"}, {build({"--image", at("missing")}), 1, "cannot open"},
        {{"build", "-o", at("missing/out.qpk"), "--name", "x", "--version", "1.0"}, 1, "cannot create"}, {{"build", "-d", at("bad-desc")}, 1, "bad-desc:2: unknown key \"colour\""},
        {build({"--level", "1"}), 2, "--level needs --key"}, {build({"--key", dev, "--level", "3"}), 2, "level is 1 or 2"},
        {build({"--key", dev, "--level", "2", "--signature-length", "68"}), 2, "not 68"}, {build({"--key", samples::development_public_key}), 1, "unknown key"},
        {{"inspect"}, 2, "exactly one"}, {{"inspect", at("not-a-package")}, 1, "not a package file"}, {{"inspect", at("truncated.qpk")}, 1, "header says"},
        {bundle({}), 2, "no member"}, {bundle({at("not-a-package")}), 1, "not-a-package: not a package file"}, {bundle({"--depends", "x", at("ok.qpk")}), 2, "unknown option"},
        {bundle({"--sha256", at("ok.qpk")}), 2, "give --key"}, {{"verify", at("missing")}, 1, "cannot open"}, {{"verify", at("unsigned.qpk")}, 1, "no signature part"},
        {{"verify", "--public-key", dev, at("ok.qpk")}, 1, "unknown key"}, {{"keygen"}, 2, "no output"},
        {{"keygen", "--table", at("not-a-package"), "-o", at("k")}, 1, "neither a public nor a private"}};
    for (const auto& [args, status, message] : cases) {
        const run_result r = run_qpk(args);
        EXPECT_TRUE(r.status == status && r.err.find(message) != std::string::npos) << message << ": " << r.err;
    }
    EXPECT_FALSE(dir.exists("/tmp/k.private") || dir.exists("/tmp/k.public"));  // a failed keygen leaves no half pair
}
