#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "qpk/version_text.h"
#include "qpk/writer.h"
#include "resolve/version.h"
#include "store/package_format.h"
#include "stream/inflate_istream.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "support/temp_root.h"

using namespace test_bytes;

namespace {

run_result run_qpk(const std::vector<std::string>& args) { return run_program(QPK_BIN, args); }

// Every file entry of a package's archive, read as the installer reads it.
struct entry_read {
    std::uint16_t mode;
    std::uint8_t processor_class;
    std::string data;
};

std::map<std::string, entry_read> read_entries(package_istream& in) {
    std::map<std::string, entry_read> entries;
    inflate_istream inflated(in);
    unsigned char header[file_entry_header_size];
    while (inflated.read(reinterpret_cast<char*>(header), sizeof header)) {
        file_entry e = parse_file_entry_header(header);
        std::string name(e.name_length, '\0');
        inflated.read(name.data(), e.name_length);
        std::string data(e.size, '\0');
        inflated.read(data.data(), e.size);
        EXPECT_TRUE(inflated) << name;
        entries[name] = {e.mode, e.processor_class, data};
    }
    return entries;
}

// The part types of a whole file in order.
std::vector<unsigned> part_types(const std::string& bytes) {
    std::vector<qpk::located_part> parts;
    std::string error;
    EXPECT_TRUE(qpk::split_parts(bytes, parts, error)) << error;
    std::vector<unsigned> types;
    for (const auto& p : parts) types.push_back(p.type);
    return types;
}

// The type column of the part table that "qpk inspect" prints.
std::vector<unsigned> inspected_types(const std::string& out) {
    std::vector<unsigned> types;
    std::istringstream lines(out);
    std::string line;
    bool in_table = false;
    while (std::getline(lines, line)) {
        if (line.find("offset") != std::string::npos && line.find("part") != std::string::npos) {
            in_table = true;
            continue;
        }
        if (!in_table) continue;
        if (line.empty()) break;
        std::istringstream words(line);
        unsigned offset, type;
        words >> offset >> type;
        types.push_back(type);
    }
    return types;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

}  // namespace

TEST(QpkTest, VersionTexts) {
    const struct {
        const char* text;
        bool ok;
        std::uint32_t version;
    } cases[] = {
        {"6.40", true, make_version(6, 40, 'f', 0)},
        {"6.40.1", true, make_version(6, 40, 'f', 1)},
        {"6.40beta3", true, make_version(6, 40, 'b', 3)},
        {"6.40rc1", true, make_version(6, 40, 'c', 1)},
        {"6.40alpha2", true, make_version(6, 40, 'a', 2)},
        {"6.40beta", true, make_version(6, 40, 'b', 0)},
        {"255.255.255", true, 0xFFFF66FF},
        {"0.0", true, make_version(0, 0, 'f', 0)},
        {"6", false, 0},
        {"6.", false, 0},
        {".40", false, 0},
        {"6.256", false, 0},
        {"6.40gamma1", false, 0},
        {"6.40.1.2", false, 0},
        {"6.40rc1x", false, 0},
        {"6.40.", false, 0},
        {"6.40 ", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::uint32_t version = 0;
        EXPECT_EQ(qpk::parse_version_text(c.text, version), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(version, c.version);
        // What the installer prints is what the packager wrote.
        if (std::string(c.text) != "6.40beta") {
            EXPECT_EQ(format_version(version), c.text);
        }
    }

    requirement req;
    std::string error;
    ASSERT_TRUE(qpk::parse_requirement_text("system:6.40:7.0:-3", req, error)) << error;
    EXPECT_EQ(req, (requirement{"system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), -3}));
    ASSERT_TRUE(qpk::parse_requirement_text("web::6.41rc2", req, error));
    EXPECT_EQ(req, (requirement{"web", 0, make_version(6, 41, 'c', 2), 0}));
    ASSERT_TRUE(qpk::parse_requirement_text("plain", req, error));
    EXPECT_EQ(req, (requirement{"plain", 0, 0, 0}));
    for (const char* bad : {"", ":6.40", "a:6.x", "a:1.0:2.0:p", "a:1.0:2.0:1:9", "seventeen-chars-x"})
        EXPECT_FALSE(qpk::parse_requirement_text(bad, req, error)) << bad;
}

TEST(QpkTest, SigningHookGetsTheDigestTheInstallerChecks) {
    for (bool sha256 : {false, true}) {
        for (std::uint32_t length : {68u, 132u}) {
            SCOPED_TRACE(std::to_string(sha256) + " " + std::to_string(length));
            qpk::package_contents contents;
            contents.name = "signed";
            contents.version = make_version(7, 1, 'f', 0);
            contents.sha256 = sha256;
            contents.signature_length = length;
            contents.note = "n";
            contents.files = std::vector<qpk::file_item>{qpk::regular_file("a", std::string(5000, 'a'))};
            contents.after_signature = {{16, "mips"}, {3, ""}};
            std::vector<qpk::digest_buffer> seen;
            std::string bytes = qpk::build_package(contents, [&](const qpk::digest_buffer& d, std::size_t n) {
                seen.push_back(d);
                return std::string(n, static_cast<char>(0xA5));
            });
            ASSERT_FALSE(bytes.empty());
            std::vector<unsigned> types = {1, 23, 4, 9, 16, 3};
            if (sha256) types.insert(types.begin(), 25);
            EXPECT_EQ(part_types(bytes), types);
            auto ranges = signature_ranges(bytes);
            ASSERT_EQ(ranges.size(), 1u);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], digest_of(bytes.substr(ranges[0].begin, ranges[0].end - ranges[0].begin), sha256));
            EXPECT_EQ(bytes.substr(ranges[0].end, length), std::string(length, static_cast<char>(0xA5)));

            std::istringstream source(bytes);
            package_istream in(source, true);
            add_wanted_types(in, install_wanted_types);
            ASSERT_EQ(in.next_part(), 1);
            while (in.current_type != 9 && in.next_part() != -1) {
            }
            ASSERT_EQ(in.current_type, 9);
            in.verify_signature();
            EXPECT_EQ(digest_from(in.parts().digest()), seen[0]);
        }
    }
    // A signer that returns the wrong length is refused.
    std::string bytes = qpk::build_package(qpk::package_contents{});
    std::string error;
    EXPECT_FALSE(qpk::sign_parts(bytes, [](const qpk::digest_buffer&, std::size_t) { return std::string(3, 'x'); }, error));
    EXPECT_NE(error, "");
}

TEST(QpkTest, BundlesKeepOrResignTheirMembers) {
    qpk::package_contents a;
    a.name = "alpha";
    a.version = make_version(1, 0, 'f', 0);
    a.sha256 = true;
    a.files = std::vector<qpk::file_item>{qpk::regular_file("x", "1")};
    qpk::package_contents b = a;
    b.name = "beta";
    b.sha256 = false;
    b.dependencies = std::vector<requirement>{{"alpha", 0, 0, 0}};
    auto sign = [](const qpk::digest_buffer& d, std::size_t n) {
        std::string out(n, '\0');
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(d[i % 32] ^ i);
        return out;
    };
    std::string member_a = qpk::build_package(a, sign);
    std::string member_b = qpk::build_package(b, sign);

    qpk::bundle_contents contents;
    contents.name = "pack";
    contents.version = make_version(1, 0, 'f', 0);
    contents.note = "bundle note";
    contents.default_disabled = std::vector<requirement>{{"beta", 0, 0, 0}};
    contents.members = {member_a, member_b};
    contents.after_members = {{16, "mips"}};
    std::string bundle, error;
    ASSERT_TRUE(qpk::build_bundle(contents, bundle, error)) << error;
    EXPECT_EQ(part_types(bundle), (std::vector<unsigned>{18, 23, 20, 25, 1, 4, 9, 1, 3, 4, 9, 16}));
    // Unsigned again, the members are their own bytes.
    EXPECT_NE(bundle.find(member_a.substr(8)), std::string::npos);
    EXPECT_NE(bundle.find(member_b.substr(8)), std::string::npos);

    // Re-signed in place: each member's signature covers its own parts as
    // the installer hashes them in the bundle (beta now after a hash switch).
    std::string resigned;
    ASSERT_TRUE(qpk::build_bundle(contents, resigned, error, sign)) << error;
    auto ranges = signature_ranges(resigned);
    ASSERT_EQ(ranges.size(), 2u);
    std::istringstream source(resigned);
    package_istream in(source, true);
    in.wanted_types = {9, 20};
    ASSERT_EQ(in.next_part(), 20);
    std::vector<requirement> disabled;
    ASSERT_TRUE(read_requirements(in, disabled));
    EXPECT_EQ(disabled, (std::vector<requirement>{{"beta", 0, 0, 0}}));
    for (const auto& range : ranges) {
        ASSERT_EQ(in.next_part(), 9);
        in.verify_signature();
        qpk::digest_buffer digest = digest_from(in.parts().digest());
        EXPECT_EQ(digest, digest_of(resigned.substr(range.begin, range.end - range.begin), range.sha256));
        EXPECT_EQ(resigned.substr(range.end, 132), sign(digest, 132));
    }

    contents.members.push_back("not a package");
    EXPECT_FALSE(qpk::build_bundle(contents, bundle, error));
    EXPECT_NE(error.find("member 3"), std::string::npos);
}

TEST(QpkTest, BuildThenInspectRoundTrip) {
    temp_root dir;
    dir.make_dir("/tmp/tree/bin");
    dir.make_dir("/tmp/tree/etc/app/conf.d");
    dir.make_dir("/tmp/tree/var/empty");
    dir.write_file("/tmp/tree/bin/hello", "#!/bin/sh\necho hello\n");
    ASSERT_EQ(::chmod(dir.host("/tmp/tree/bin/hello").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("hello", dir.host("/tmp/tree/bin/hi").c_str()), 0);
    dir.write_file("/tmp/tree/etc/app/conf.d/main.conf", "key=value\n");
    ASSERT_EQ(::chmod(dir.host("/tmp/tree/etc/app/conf.d/main.conf").c_str(), 0600), 0);
    std::string big(70000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 / 3);
    dir.write_file("/tmp/tree/etc/app/blob", big);
    ASSERT_EQ(::chmod(dir.host("/tmp/tree/etc/app/blob").c_str(), 0644), 0);
    dir.write_file("/tmp/image", "IMAGE");
    const std::string out = dir.host("/tmp/hello.qpk");

    run_result built = run_qpk({"build", "-o", out, "--name", "hello", "--version", "6.40beta3", "--build-time",
                            "1700000000", "--arch", "powerpc", "--note", "the note", "--text24", "t24", "--text2",
                            "t2", "--depends", "system:6.40:7.0", "--provides", "web:1.0::5", "--conflicts", "old",
                            "--boot", "--image", dir.host("/tmp/image"), "--class", "bin/hello=3",
                            dir.host("/tmp/tree")});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.out, "");
    std::string bytes = read_host_file(out);
    EXPECT_EQ(part_types(bytes), (std::vector<unsigned>{1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9}));

    // The installer's reading of it.
    std::istringstream source(bytes);
    package_istream in(source, true);
    add_wanted_types(in, scan_wanted_types);
    in.wanted_types.push_back(4);
    ASSERT_EQ(in.next_part(), 1);
    package_description d;
    ASSERT_TRUE(read_description(d, in));
    EXPECT_EQ(d.name, "hello");
    EXPECT_EQ(d.version, make_version(6, 40, 'b', 3));
    EXPECT_EQ(d.build_time, 1700000000u);
    EXPECT_EQ(d.header_flags, header_flag_boot);
    EXPECT_EQ(d.architecture, "powerpc");
    EXPECT_EQ(d.note, "the note");
    EXPECT_EQ(d.text24, "t24");
    EXPECT_EQ(d.text2, "t2");
    EXPECT_EQ(d.dependencies, (std::vector<requirement>{{"system", make_version(6, 40, 'f', 0), make_version(7, 0, 'f', 0), 0}}));
    EXPECT_EQ(d.provisions, (std::vector<requirement>{{"web", make_version(1, 0, 'f', 0), 0, 5}}));
    EXPECT_EQ(d.conflicts, (std::vector<requirement>{{"old", 0, 0, 0}}));
    EXPECT_TRUE(d.image);
    ASSERT_EQ(in.next_part(), 4);
    auto entries = read_entries(in);
    const std::map<std::string, entry_read> expected = {
        {"bin", {040755, 0, ""}},
        {"bin/hello", {0100755, 3, "#!/bin/sh\necho hello\n"}},
        {"bin/hi", {0120777, 0, "hello"}},
        {"etc", {040755, 0, ""}},
        {"etc/app", {040755, 0, ""}},
        {"etc/app/blob", {0100644, 0, big}},
        {"etc/app/conf.d", {040755, 0, ""}},
        {"etc/app/conf.d/main.conf", {0100600, 0, "key=value\n"}},
        {"var", {040755, 0, ""}},
        {"var/empty", {040755, 0, ""}},
    };
    ASSERT_EQ(entries.size(), expected.size());
    for (const auto& [name, e] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(entries.count(name), 1u);
        // Directory modes depend on the umask; only their type is checked.
        if ((e.mode & 0xF000) == 0x4000)
            EXPECT_EQ(entries[name].mode & 0xF000, 0x4000);
        else
            EXPECT_EQ(entries[name].mode, e.mode);
        EXPECT_EQ(entries[name].processor_class, e.processor_class);
        EXPECT_TRUE(entries[name].data == e.data);
    }

    run_result shown = run_qpk({"inspect", out});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(inspected_types(shown.out), part_types(bytes));
    for (const char* line : {"name          \"hello\"", "version       6.40beta3", "architecture  \"powerpc\"",
                             "note          \"the note\"", "header flags  0x00000001 boot",
                             "depends       \"system\" min 6.40 max 7.0 precedence 0",
                             "provides      \"web\" min 1.0 max - precedence 5", "image part    yes",
                             "100755     3         21  \"bin/hello\"", "120777     0          5  \"bin/hi\" -> \"hello\"",
                             "100600     0         10  \"etc/app/conf.d/main.conf\"",
                             "100644     0      70000  \"etc/app/blob\"", "\"var/empty\"",
                             "signature at offset"})
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << "\n" << shown.out;
}

TEST(QpkTest, BuildFromADescriptionFile) {
    temp_root dir;
    dir.make_dir("/tmp/pkg/files/lib");
    dir.write_file("/tmp/pkg/files/lib/x.so", "so");
    dir.write_file("/tmp/pkg/img", "image");
    dir.write_file("/tmp/pkg/desc", "# a package\n"
                                     "name = routing\n"
                                     "version = 6.41rc1\n"
                                     "build-time = 42\n"
                                     "arch = mips\n"
                                     "depends = system:6.41\n"
                                     "depends = dhcp\n"
                                     "no-meta\n"
                                     "boot = no\n"
                                     "second-magic = yes\n"
                                     "sha256 = yes\n"
                                     "signature-length = 68\n"
                                     "image = img\n"
                                     "class = lib/x.so=2\n"
                                     "directory = files\n");
    const std::string out = dir.host("/tmp/out.vpk");
    // The command line adds a dependency and overrides the version.
    run_result built = run_qpk({"build", "-d", dir.host("/tmp/pkg/desc"), "-o", out, "--version", "6.41", "--depends", "x"});
    ASSERT_EQ(built.status, 0) << built.err;
    std::string bytes = read_host_file(out);
    EXPECT_EQ(part_types(bytes), (std::vector<unsigned>{25, 1, 16, 3, 21, 4, 9}));

    std::istringstream source(bytes);
    package_istream in(source, false);
    EXPECT_TRUE(in.has_second_magic());
    add_wanted_types(in, install_wanted_types);
    ASSERT_EQ(in.next_part(), 1);
    package_description d;
    ASSERT_TRUE(read_description(d, in));
    EXPECT_EQ(d.name, "routing");
    EXPECT_EQ(d.version, make_version(6, 41, 'f', 0));
    EXPECT_EQ(d.build_time, 42u);
    EXPECT_EQ(d.header_flags, header_flag_no_meta);
    EXPECT_EQ(d.dependencies, (std::vector<requirement>{{"system", make_version(6, 41, 'f', 0), 0, 0}, {"dhcp", 0, 0, 0}, {"x", 0, 0, 0}}));
    ASSERT_EQ(in.current_type, 21);
    ASSERT_EQ(in.next_part(), 4);
    auto entries = read_entries(in);
    EXPECT_EQ(entries["lib/x.so"].processor_class, 2);
    ASSERT_EQ(in.next_part(), 9);
    EXPECT_EQ(in.part_length(), 68u);

    // A short header part carries no flags.
    ASSERT_EQ(run_qpk({"build", "-o", out, "--name", "s", "--version", "1.0", "--short-header"}).status, 0);
    bytes = read_host_file(out);
    EXPECT_EQ(part_types(bytes), (std::vector<unsigned>{1, 9}));
    EXPECT_EQ(bytes.substr(10, 4), le32(32));
}

TEST(QpkTest, BundleCommand) {
    temp_root dir;
    const std::string a = dir.host("/tmp/a.qpk"), b = dir.host("/tmp/b.qpk"), out = dir.host("/tmp/pack.qpk");
    ASSERT_EQ(run_qpk({"build", "-o", a, "--name", "alpha", "--version", "1.0"}).status, 0);
    ASSERT_EQ(run_qpk({"build", "-o", b, "--name", "beta", "--version", "1.0", "--depends", "alpha"}).status, 0);
    run_result r = run_qpk({"bundle", "-o", out, "--name", "pack", "--version", "2.0", "--build-time", "7", "--disabled",
                        "beta", "--trailing-arch", "mips", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string bytes = read_host_file(out);
    EXPECT_EQ(part_types(bytes), (std::vector<unsigned>{18, 20, 1, 9, 1, 3, 9, 16}));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "mips");

    run_result shown = run_qpk({"inspect", out});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("bundle at offset 14"), std::string::npos);
    EXPECT_NE(shown.out.find("default-disabled members: \"beta\""), std::string::npos);
    EXPECT_EQ(count(shown.out, "package at offset"), 2u);
    EXPECT_EQ(count(shown.out, "signature at offset"), 2u);
}

TEST(QpkTest, InspectEveryVectorFile) {
    temp_root dir;
    auto files = read_vector_files(std::string(VECTORS_DIR) + "/packages.txt");
    ASSERT_FALSE(files.empty());
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].comment);
        std::string path = dir.host("/tmp/vector" + std::to_string(i) + ".qpk");
        write_host_file(path, files[i].bytes);
        run_result r = run_qpk({"inspect", path});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(inspected_types(r.out), part_types(files[i].bytes));
        // Every package and bundle header's description is shown.
        std::size_t headers = 0;
        for (unsigned type : part_types(files[i].bytes)) headers += type == 1 || type == 18;
        EXPECT_EQ(count(r.out, "\n  name          \""), headers);
        EXPECT_EQ(count(r.out, "description unreadable"), 0u);
        auto ranges = signature_ranges(files[i].bytes);
        EXPECT_EQ(ranges.size(), files[i].levels.size());
        EXPECT_EQ(count(r.out, "signature at offset"), ranges.size());
        for (const auto& range : ranges) {
            digest d = digest_of(files[i].bytes.substr(range.begin, range.end - range.begin), range.sha256);
            EXPECT_NE(r.out.find(to_hex(d.data(), range.sha256 ? 32 : 20)), std::string::npos);
        }
    }
}

TEST(QpkTest, HelpAndErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"build", "--help"}, {"bundle", "-h"}, {"inspect", "--help"}}) {
        run_result r = run_qpk(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage: qpk", 0), 0u) << r.out;
    }

    temp_root dir;
    dir.make_dir("/tmp/tree");
    dir.write_file("/tmp/tree/f", "f");
    dir.write_file("/tmp/not-a-package", "hello, world");
    dir.write_file("/tmp/bad-desc", "name = x\ncolour = blue\n");
    const std::string out = dir.host("/tmp/out.qpk");
    const std::string tree = dir.host("/tmp/tree");
    ASSERT_EQ(run_qpk({"build", "-o", out, "--name", "ok", "--version", "1.0", tree}).status, 0);
    std::string good = read_host_file(out);
    dir.write_file("/tmp/truncated.qpk", good.substr(0, good.size() - 10));
    const std::string not_package = dir.host("/tmp/not-a-package");

    std::vector<std::string> base = {"build", "-o", out, "--name", "x", "--version", "1.0"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{}, 2, "usage: qpk"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"build", "-o", out, "--version", "1.0"}, 2, "name"},
        {{"build", "-o", out, "--name", "x"}, 2, "version"},
        {{"build", "-o", out, "--name", "seventeen-chars-x", "--version", "1.0"}, 2, "16 characters"},
        {with({"--bogus"}), 2, "unknown option --bogus"},
        {with({"--boot=yes"}), 2, "takes no value"},
        {{"build", "-o", out, "--name", "x", "--version", "6.4x"}, 2, "bad version"},
        {with({"--depends", "a:bad"}), 2, "bad minimum version"},
        {with({"--signature-length", "100"}), 2, "132 or 68"},
        {with({"--class", "nothing=3", tree}), 2, "no entry nothing"},
        {with({"--boot", "--short-header"}), 2, "no header flags"},
        {with({dir.host("/tmp/missing")}), 1, "cannot stat"},
        {with({not_package}), 1, "not a directory"},
        {with({"--image", dir.host("/tmp/missing")}), 1, "cannot open"},
        {{"build", "-o", dir.host("/tmp/missing/out.qpk"), "--name", "x", "--version", "1.0"}, 1, "cannot create"},
        {{"build", "-d", dir.host("/tmp/missing")}, 1, "cannot open"},
        {{"build", "-d", dir.host("/tmp/bad-desc")}, 1, "bad-desc:2: unknown key \"colour\""},
        {{"inspect"}, 2, "exactly one"},
        {{"inspect", dir.host("/tmp/missing")}, 1, "cannot open"},
        {{"inspect", not_package}, 1, "not a package file"},
        {{"inspect", dir.host("/tmp/truncated.qpk")}, 1, "header says"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0"}, 2, "no member"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", dir.host("/tmp/missing")}, 1, "cannot open"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", not_package}, 1, "not-a-package: not a package file"},
        {{"bundle", "-o", out, "--name", "b", "--version", "1.0", "--depends", "x", out}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        run_result r = run_qpk(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}
