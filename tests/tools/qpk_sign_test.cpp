// Signing with the real qpk program: key pairs, signed packages and bundles,
// and "qpk verify" against the build's keys or a given public key file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "qpk/writer.h"
#include "signing/key_file.h"
#include "signing/signer.h"
#include "stream/package_bytes.h"
#include "support/temp_root.h"
#include "verify/vectors.h"

namespace {

const std::string development_private = std::string(SOURCE_DIR) + "/keys/development.private";
const std::string development_public = std::string(SOURCE_DIR) + "/keys/development.public";

run_result run_qpk(const std::vector<std::string>& args) { return run_program(QPK_BIN, args); }

// The levels of the lines "...: level N" that "qpk verify" prints.
std::vector<int> printed_levels(const std::string& out) {
    std::vector<int> levels;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string tail = ": level ";
        const std::size_t at = line.rfind(tail);
        EXPECT_NE(at, std::string::npos) << line;
        if (at == std::string::npos) continue;
        EXPECT_EQ(line.size(), at + tail.size() + 1) << line;
        levels.push_back(line.back() - '0');
    }
    return levels;
}

// "qpk verify" of a file, with or without a public key file; checks that the
// exit status agrees with the levels.
std::vector<int> verified(const std::string& file, const std::string& public_key = "") {
    std::vector<std::string> args = {"verify"};
    if (!public_key.empty()) args.insert(args.end(), {"--public-key", public_key});
    args.push_back(file);
    run_result r = run_qpk(args);
    EXPECT_EQ(r.err, "");
    std::vector<int> levels = printed_levels(r.out);
    const bool all_hold = !levels.empty() && std::find(levels.begin(), levels.end(), 0) == levels.end();
    EXPECT_EQ(r.status, all_hold ? 0 : 1) << r.out;
    return levels;
}

// Against the development keys: the build's own when they are those.
std::vector<int> verified_development(const std::string& file) {
    return test_vectors::build_has_vector_keys() ? verified(file) : verified(file, development_public);
}

std::vector<qpk::located_part> parts_of(const std::string& bytes) {
    std::vector<qpk::located_part> parts;
    std::string error;
    EXPECT_TRUE(qpk::split_parts(bytes, parts, error)) << error;
    return parts;
}

std::vector<unsigned> types_of(const std::string& bytes) {
    std::vector<unsigned> types;
    for (const auto& p : parts_of(bytes)) types.push_back(p.type);
    return types;
}

std::vector<std::uint32_t> signature_lengths(const std::string& bytes) {
    std::vector<std::uint32_t> lengths;
    for (const auto& p : parts_of(bytes))
        if (p.type == 9) lengths.push_back(p.length);
    return lengths;
}

}  // namespace

TEST(QpkSignTest, KeygenBuildVerifyRoundTrip) {
    temp_root dir;
    dir.make_dir("/tmp/tree");
    dir.write_file("/tmp/tree/file", "contents");
    const std::string base = dir.host("/tmp/mine");
    const std::string tree = dir.host("/tmp/tree");
    run_result made = run_qpk({"keygen", "-o", base});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find(base + ".private"), std::string::npos);

    // The private file is its owner's alone; the public one is what the
    // private one derives, with the same fresh table.
    struct stat st;
    ASSERT_EQ(::stat((base + ".private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    signing::private_keys priv;
    verify::public_keys pub, derived;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(base + ".private", priv, error)) << error;
    ASSERT_TRUE(signing::read_public_key_file(base + ".public", pub, error)) << error;
    ASSERT_TRUE(signing::public_keys_of(priv, derived));
    EXPECT_EQ(0, std::memcmp(&pub, &derived, sizeof pub));
    const verify::public_keys dev = test_vectors::package_vector_keys();
    EXPECT_NE(0, std::memcmp(pub.table, dev.table, sizeof pub.table));

    // An existing pair is never overwritten.
    const std::string before = read_host_file(base + ".private");
    run_result again = run_qpk({"keygen", "-o", base});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
    EXPECT_EQ(read_host_file(base + ".private"), before);

    // --table shares the table of an existing key file.
    ASSERT_EQ(run_qpk({"keygen", "--table", development_public, "-o", dir.host("/tmp/shared")}).status, 0);
    verify::public_keys shared;
    ASSERT_TRUE(signing::read_public_key_file(dir.host("/tmp/shared.public"), shared, error)) << error;
    EXPECT_EQ(0, std::memcmp(shared.table, dev.table, sizeof dev.table));
    EXPECT_NE(0, std::memcmp(shared.curve25519_public, dev.curve25519_public, 32));

    // Signed with the new pair: level 2 under its public key, level 0 under
    // the development keys (another pair, and another table).
    const std::string pkg = dir.host("/tmp/p.qpk");
    run_result built = run_qpk({"build", "-o", pkg, "--name", "mine", "--version", "2.1", "--key", base + ".private", tree});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(signature_lengths(read_host_file(pkg)), std::vector<std::uint32_t>{132});
    EXPECT_EQ(verified(pkg, base + ".public"), std::vector<int>{2});
    EXPECT_EQ(verified(pkg, development_public), std::vector<int>{0});
    EXPECT_EQ(verified_development(pkg), std::vector<int>{0});
    run_result line = run_qpk({"verify", "--public-key", base + ".public", pkg});
    EXPECT_EQ(line.out, "mine-2.1: signature at offset " + std::to_string(parts_of(read_host_file(pkg)).back().offset) +
                            ", 132 bytes: level 2\n");

    // Level 1: a 68-byte signature part, by --level or by its length.
    for (const std::vector<std::string>& option :
         {std::vector<std::string>{"--level", "1"}, {"--signature-length", "68"}}) {
        std::vector<std::string> args = {"build", "-o", pkg, "--name", "mine", "--version", "2.1", "--key",
                                         base + ".private", tree};
        args.insert(args.end(), option.begin(), option.end());
        ASSERT_EQ(run_qpk(args).status, 0) << option[0];
        EXPECT_EQ(signature_lengths(read_host_file(pkg)), std::vector<std::uint32_t>{68});
        EXPECT_EQ(verified(pkg, base + ".public"), std::vector<int>{1});
        EXPECT_EQ(verified(pkg, dir.host("/tmp/shared.public")), std::vector<int>{0});
    }

    // The development pair against the build's keys, with SHA-1 and SHA-256.
    for (bool sha256 : {false, true}) {
        for (const char* level : {"1", "2"}) {
            std::vector<std::string> args = {"build", "-o", pkg, "--name", "dev", "--version", "1.0",
                                             "--key", development_private, "--level", level, tree};
            if (sha256) args.push_back("--sha256");
            ASSERT_EQ(run_qpk(args).status, 0);
            const std::string bytes = read_host_file(pkg);
            EXPECT_EQ(types_of(bytes).front(), sha256 ? 25u : 1u);
            EXPECT_EQ(verified_development(pkg), std::vector<int>{level[0] - '0'}) << sha256 << " " << level;
        }
    }
}

TEST(QpkSignTest, BundleSignsEveryMember) {
    temp_root dir;
    const std::string a = dir.host("/tmp/a.qpk"), b = dir.host("/tmp/b.qpk"), c = dir.host("/tmp/c.qpk");
    const std::string out = dir.host("/tmp/bundle.qpk");
    ASSERT_EQ(run_qpk({"keygen", "-o", dir.host("/tmp/other")}).status, 0);
    // Unsigned with a hash switch, unsigned with a short part, and signed
    // with another pair.
    ASSERT_EQ(run_qpk({"build", "-o", a, "--name", "alpha", "--version", "1.0", "--sha256"}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", b, "--name", "beta", "--version", "1.0", "--signature-length", "68"}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", c, "--name", "gamma", "--version", "1.0", "--key", dir.host("/tmp/other.private")}).status, 0);
    const std::vector<std::string> bundle = {"bundle", "-o", out, "--name", "pack", "--version", "1.0"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = bundle;
        args.insert(args.end(), more.begin(), more.end());
        args.insert(args.end(), {a, b, c});
        return args;
    };

    run_result r = run_qpk(with({"--key", development_private}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string bytes = read_host_file(out);
    EXPECT_EQ(signature_lengths(bytes), (std::vector<std::uint32_t>{132, 132, 132}));
    EXPECT_EQ(verified_development(out), (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(printed_levels(run_qpk({"verify", out}).out).size(), 3u);

    ASSERT_EQ(run_qpk(with({"--key", development_private, "--level", "1"})).status, 0);
    bytes = read_host_file(out);
    EXPECT_EQ(signature_lengths(bytes), (std::vector<std::uint32_t>{68, 68, 68}));
    EXPECT_EQ(verified_development(out), (std::vector<int>{1, 1, 1}));

    ASSERT_EQ(run_qpk(with({"--key", development_private, "--sha256"})).status, 0);
    bytes = read_host_file(out);
    EXPECT_EQ(types_of(bytes).front(), 25u);
    EXPECT_EQ(types_of(bytes)[1], 18u);
    EXPECT_EQ(verified_development(out), (std::vector<int>{2, 2, 2}));

    // A member without a signature part cannot be signed: refused, not
    // passed on unsigned.
    qpk::description_fields bare;
    bare.name = "bare";
    bare.version = 0x01006600;
    const std::string unsigned_member = dir.host("/tmp/bare.qpk");
    write_host_file(unsigned_member, qpk::encode_container({{1, qpk::encode_header(bare)}}, false));
    r = run_qpk({"bundle", "-o", dir.host("/tmp/refused.qpk"), "--name", "pack", "--version", "1.0", "--key",
                 development_private, a, unsigned_member});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpk bundle: " + unsigned_member + ": no signature part to sign\n");
    EXPECT_FALSE(dir.exists("/tmp/refused.qpk"));

    // Unsigned, the members keep their signatures: gamma's holds under its
    // own keys only, the others are zero bytes (and nothing to warn about).
    r = run_qpk({"bundle", "-o", out, "--name", "pack", "--version", "1.0", c, a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(verified(out, dir.host("/tmp/other.public")), (std::vector<int>{2, 0, 0}));

    // A member signed over SHA-1 behind a member that switched to SHA-256 no
    // longer holds in an unsigned bundle: qpk says so.
    ASSERT_EQ(run_qpk({"build", "-o", a, "--name", "alpha", "--version", "1.0", "--sha256", "--key", development_private}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", b, "--name", "beta", "--version", "1.0", "--key", development_private}).status, 0);
    r = run_qpk({"bundle", "-o", out, "--name", "pack", "--version", "1.0", b, a});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(verified_development(out), (std::vector<int>{2, 2}));
    r = run_qpk({"bundle", "-o", out, "--name", "pack", "--version", "1.0", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: " + b + ": its signature does not hold"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(a), std::string::npos) << r.err;
    EXPECT_EQ(verified_development(out), (std::vector<int>{2, 0}));
}

// The shared package files through "qpk verify": with a public key file made
// from the vectors' keys, and with the build's keys when they are those.
TEST(QpkSignTest, VerifyEveryVectorFile) {
    temp_root dir;
    const std::string key_file = dir.host("/tmp/vectors.public");
    write_host_file(key_file, signing::format_public_keys(test_vectors::package_vector_keys()));
    const auto files = test_bytes::read_vector_files(std::string(VECTORS_DIR) + "/packages.txt");
    ASSERT_EQ(files.size(), 5u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].comment);
        const std::string path = dir.host("/tmp/vector" + std::to_string(i) + ".qpk");
        write_host_file(path, files[i].bytes);
        EXPECT_EQ(verified(path, key_file), files[i].levels);
        if (test_vectors::build_has_vector_keys()) {
            EXPECT_EQ(verified(path), files[i].levels);
        }
    }
}

TEST(QpkSignTest, HelpAndErrors) {
    run_result help = run_qpk({"--help"});
    EXPECT_NE(help.out.find("keygen"), std::string::npos);
    EXPECT_NE(help.out.find("verify"), std::string::npos);
    for (const char* command : {"keygen", "verify", "build", "bundle"}) {
        run_result r = run_qpk({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: qpk ") + command, 0), 0u) << r.out;
    }
    EXPECT_NE(run_qpk({"build", "--help"}).out.find("--key FILE"), std::string::npos);
    EXPECT_NE(run_qpk({"keygen", "--help"}).out.find("--table KEYFILE"), std::string::npos);
    EXPECT_NE(run_qpk({"verify", "--help"}).out.find(verify::builtin_key_file()), std::string::npos);

    temp_root dir;
    const std::string out = dir.host("/tmp/out.qpk");
    const std::string member = dir.host("/tmp/member.qpk");
    ASSERT_EQ(run_qpk({"build", "-o", member, "--name", "m", "--version", "1.0"}).status, 0);
    dir.write_file("/tmp/not-a-package", "hello, world");
    dir.write_file("/tmp/unsigned.qpk", test_bytes::file(test_bytes::part(1, std::string(36, 'h'))));
    const std::string base = dir.host("/tmp/k");
    std::vector<std::string> build = {"build", "-o", out, "--name", "x", "--version", "1.0"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = build;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {with({"--level", "1"}), 2, "--level needs --key"},
        {with({"--key", development_private, "--level", "3"}), 2, "level is 1 or 2"},
        {with({"--key", development_private, "--level", "2", "--signature-length", "68"}), 2, "not 68"},
        {with({"--key", development_private, "--level", "1", "--signature-length", "132"}), 2, "not 132"},
        {with({"--key", dir.host("/tmp/missing")}), 1, "cannot read"},
        {with({"--key", development_public}), 1, "unknown key"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--sha256", member}, 2, "give --key"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--level", "1", member}, 2, "--level needs --key"},
        {{"verify"}, 2, "exactly one"},
        {{"verify", "--bogus", member}, 2, "unknown option"},
        {{"verify", dir.host("/tmp/missing")}, 1, "cannot open"},
        {{"verify", dir.host("/tmp/not-a-package")}, 1, "not a package file"},
        {{"verify", dir.host("/tmp/unsigned.qpk")}, 1, "no signature part"},
        {{"verify", "--public-key", development_private, member}, 1, "unknown key"},
        {{"keygen"}, 2, "no output"},
        {{"keygen", "-o", base, "extra"}, 2, "unexpected argument"},
        {{"keygen", "--table", dir.host("/tmp/not-a-package"), "-o", base}, 1, "neither a public nor a private"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        run_result r = run_qpk(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A failed keygen leaves no half pair behind.
    EXPECT_FALSE(dir.exists("/tmp/k.private"));
    EXPECT_FALSE(dir.exists("/tmp/k.public"));
}
