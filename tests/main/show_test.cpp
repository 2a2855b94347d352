// "--show" end to end: a database laid out on a temporary root, listed by the real program and by the entry function,
// byte for byte.
#include <gtest/gtest.h>

#include <map>

#include "qpk/version_text.h"
#include "support/host_files.h"
#include "support/sample_packages.h"
#include "support/temp_root.h"

TEST(ShowTest, ListsTheDatabaseOfTheRootByteForByte) {
    temp_root root;
    const std::string pdb = "/flash/var/pdb/";
    const auto package = [](const char* name, const char* version, std::uint32_t built, const std::string& note = "") {
        qpk::package_contents p = samples::plain(name, 0, built);
        qpk::parse_version_text(version, p.version);
        if (!note.empty()) p.note = note;
        return qpk::build_package(p);
    };
    qpk::bundle_contents b = samples::bundle_of("velnor", make_version(6, 40, 'f', 0), 1600000000,
                                                {package("dhcp", "6.40", 1600000001, "dhcp server"), package("ppp",
                                                    "6.40", 0)});
    b.note = "all in one";
    root.write_file(pdb + "system/image", package("system", "6.40.1", 1500000000, "base system"));
    root.write_file(pdb + "velnor/image", samples::build_bundle(b));
    root.write_file(pdb + "ppp/disabled", "user\n");
    root.write_file(pdb + "wireless/image", package("wireless", "6.41rc2", 1700000000));
    root.write_file(pdb + "wireless/disabled", "auto\n");
    root.write_file(pdb + "longername12345x/image", package("longername12345x", "7.1beta3", 86400, std::string(45,
        'n')));
    // no image: the meta files
    root.write_file(pdb + "oldpkg/version", std::to_string(make_version(6, 41, 'f', 0)) + " 0\n");
    root.write_file(pdb + "oldpkg/files", "bin/old\n");
    const std::map<std::string, std::string> rows = {
        {"system", "          system           6.40.1 Jul/14/2017 02:40:00                              base system\n"},
        {"velnor", "            dhcp  B          6.40 Sep/13/2020 12:26:41                              dhcp server\n"
                   "             ppp XB          6.40 Jan/01/1970 00:00:00                                         \n"
                   "          velnor             6.40 Sep/13/2020 12:26:40                               all in one\n"},
        {"wireless", "        wireless X        6.41rc2 Nov/14/2023 22:13:20                                         "
            "\n"},
        {"longername12345x", "longername12345x         7.1beta3 Jan/02/1970 00:00:00 " + std::string(45, 'n') + "\n"},
    };
    std::string expected = "            Name          Version                Built                                    "
        "Note\n" + std::string(94, '-') + "\n";
    for (const std::string& name : directory_order(root.host(pdb)))
        if (auto it = rows.find(name); it != rows.end()) expected += it->second;
    expected += "          oldpkg             6.41 Jan/01/1970 00:00:00                                         \n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-r", root.path(), "--show"}, {"--show",
        "-r", root.path(), "-q"}}) {
        run_result r = run_installer(args);
        EXPECT_EQ(r.out + r.err + std::to_string(r.status), expected + "0") << args[0];
    }
    EXPECT_EQ(run_entry(root.path(), {"--show"}).out, expected);
}
