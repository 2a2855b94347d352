// "--show" end to end: a database laid out on a temporary root, listed by the
// real program and by the entry function.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "resolve/version.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t v640 = make_version(6, 40, 'f', 0);

const std::string header =
    "            Name          Version                Built                                    Note\n" +
    std::string(94, '-') + "\n";

std::string package_file(const std::string& name, std::uint32_t version, std::uint32_t built,
                         const std::string& note = "") {
    qpk::package_contents p;
    p.name = name;
    p.version = version;
    p.build_time = built;
    if (!note.empty()) p.note = note;
    p.files = std::vector<qpk::file_item>{qpk::regular_file("bin/" + name, name)};
    return qpk::build_package(p);
}

}  // namespace

TEST(ShowTest, ListsTheDatabaseOfTheRootByteForByte) {
    temp_root root;
    const std::string pdb = "/flash/var/pdb/";
    root.write_file(pdb + "system/image", package_file("system", make_version(6, 40, 'f', 1), 1500000000, "base system"));

    qpk::bundle_contents b;
    b.name = "velnor";
    b.version = v640;
    b.build_time = 1600000000;
    b.note = "all in one";
    b.members = {package_file("dhcp", v640, 1600000001, "dhcp server"), package_file("ppp", v640, 0)};
    std::string bundle_file;
    std::string error;
    ASSERT_TRUE(qpk::build_bundle(b, bundle_file, error)) << error;
    root.write_file(pdb + "velnor/image", bundle_file);
    root.write_file(pdb + "ppp/disabled", "user\n");

    root.write_file(pdb + "wireless/image", package_file("wireless", make_version(6, 41, 'c', 2), 1700000000));
    root.write_file(pdb + "wireless/disabled", "auto\n");
    root.write_file(pdb + "longername12345x/image",
                    package_file("longername12345x", make_version(7, 1, 'b', 3), 86400, std::string(45, 'n')));
    // No image: the meta files describe it.
    root.write_file(pdb + "oldpkg/version", std::to_string(make_version(6, 41, 'f', 0)) + " 0\n");
    root.write_file(pdb + "oldpkg/deps", "");
    root.write_file(pdb + "oldpkg/files", "bin/old\n");

    const std::map<std::string, std::string> image_rows = {
        {"system", "          system           6.40.1 Jul/14/2017 02:40:00                              base system\n"},
        {"velnor", "            dhcp  B          6.40 Sep/13/2020 12:26:41                              dhcp server\n"
                     "             ppp XB          6.40 Jan/01/1970 00:00:00                                         \n"
                     "          velnor             6.40 Sep/13/2020 12:26:40                               all in one\n"},
        {"wireless", "        wireless X        6.41rc2 Nov/14/2023 22:13:20                                         \n"},
        {"longername12345x", "longername12345x         7.1beta3 Jan/02/1970 00:00:00 " + std::string(45, 'n') + "\n"},
    };
    std::string expected = header;
    for (const std::string& name : directory_order(root.host(pdb)))
        if (auto it = image_rows.find(name); it != image_rows.end()) expected += it->second;
    expected += "          oldpkg             6.41 Jan/01/1970 00:00:00                                         \n";

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-r", root.path(), "--show"}, {"-q", "-r", root.path(), "--show"}, {"--show", "-r", root.path(), "-q"}}) {
        run_result r = run_installer(args);
        EXPECT_EQ(r.out, expected) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    run_result r = run_entry(root.path(), {"--show"});
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
}

TEST(ShowTest, EmptyAndMissingDatabases) {
    temp_root root;
    run_result r = run_installer({"-r", root.path(), "--show"});
    EXPECT_EQ(r.out, header);
    EXPECT_EQ(r.status, 0);

    ASSERT_EQ(::rmdir(root.host("/flash/var/pdb").c_str()), 0);
    r = run_installer({"-r", root.path(), "--show"});
    EXPECT_EQ(r.out, "WARNING: could not open repo\n" + header);
    EXPECT_EQ(r.status, 0);
    r = run_installer({"-q", "-r", root.path(), "--show"});
    EXPECT_EQ(r.out, header);
    EXPECT_EQ(r.status, 0);
}
