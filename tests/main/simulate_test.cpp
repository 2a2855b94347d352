// "--simulate" through the real program: the root is left exactly as it was,
// the plan names what the real run on the same root then does, and both end
// with the same exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "support/package_line.h"
#include "support/router_scenario.h"

namespace {

const std::string download = "/rw/pckg/.download/";

std::pair<std::string, std::string> dl(const std::string& text, int level = 2) {
    return {download + text.substr(0, text.find('-')) + ".qpk", line::file(text, level)};
}

// Every file, directory and link under the root, with its mode and its
// content or target.
std::string everything(const temp_root& root) {
    std::ostringstream all;
    std::error_code error;
    std::map<std::string, std::string> seen;
    for (auto it = std::filesystem::recursive_directory_iterator(root.path(), error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const std::string path = it->path().string();
        struct stat st {};
        ::lstat(path.c_str(), &st);
        std::string what = std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) what += "->" + std::filesystem::read_symlink(path, error).string();
        if (S_ISREG(st.st_mode)) what += "=" + read_host_file(path);
        seen[path.substr(root.path().size())] = what;
    }
    for (const auto& [path, what] : seen) all << path << ' ' << what << '\n';
    return all.str();
}

// Whether each change of the plan shows in the records the real run left.
void expect_done(const std::string& plan, const std::string& records) {
    const std::string loaded = " " + records + " ";
    std::istringstream lines(plan);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string action, package, from, arrow, to;
        words >> action >> package >> from >> arrow >> to;
        if (action == "upgrade" || action == "downgrade") package += "-" + to;
        const bool off = action == "disable" || from == "(disabled)";
        if (action == "uninstall") {
            EXPECT_EQ(loaded.find(" " + package + " "), std::string::npos) << line;
        } else if (!action.ends_with(':') && action != "{") {  // not a refusal, a message or JSON
            EXPECT_NE(loaded.find(" " + package + (off ? " off" : "")), std::string::npos) << line;
        }
    }
}

struct row {
    const char* what;
    std::vector<std::string> installed;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> args;  // after "-r ROOT"; "--simulate" is added for the simulation
    std::string input;
    std::string plan;
    int status;
    std::string records;  // after the real run
    std::vector<std::string> env = {};
};

TEST(SimulateTest, PlansWhatTheRunDoesAndWritesNothing) {
    const std::string mips = "refused: can not install hello-6.48: it is not made for i386, but for mips\n";
    const std::vector<row> rows = {
        {"an install", {}, {dl("hello-6.48 /bin/hello"), {"/flash/postlog", "earlier\n"}}, {}, "",
         "install hello-6.48\n", 0, "hello-6.48"},
        {"an upgrade", {"hello-6.48 /bin/hello /etc/old"}, {dl("hello-6.49 /bin/hello")}, {}, "",
         "upgrade hello 6.48 -> 6.49\n", 0, "hello-6.49"},
        {"a downgrade", {"hello-6.49 /bin/hello"}, {dl("hello-6.48 /bin/hello")}, {"-down"}, "",
         "downgrade hello 6.49 -> 6.48\n", 0, "hello-6.48"},
        {"a downgrade refused", {"hello-6.49 /bin/hello"}, {dl("hello-6.48 /bin/hello")}, {}, "",
         "refused: omitting package hello-6.48: newer package hello-6.49 is already installed\n", 0, "hello-6.49"},
        {"an uninstall scheduled", {"ntp-6.48 /bin/ntp do=uninstall", "hello-6.48"}, {}, {"-q"}, "",
         "uninstall ntp-6.48\n", 0, "hello-6.48"},
        {"an enable and a disable scheduled", {"ntp-6.48 off do=enable", "hello-6.48 do=disable"}, {}, {}, "",
         "disable hello-6.48\nenable ntp-6.48\n", 0, "hello-6.48 off user ntp-6.48 user"},
        {"an untrusted package refuses the whole run", {"ntp-6.48 do=uninstall", "dhcp-6.48"}, {dl("hello-6.48 /bin/hello", 0)},
         {}, "", "refused: installation of hello-6.48 failed: broken package\n", 0, "dhcp-6.48 ntp-6.48"},
        {"the boot package becomes the boot image", {}, {dl("system-6.48 #1 %k /bin/sh")}, {}, "",
         "install system-6.48\n", 0, "system-6.48", {"bootimage=1"}},
        {"a bundle and its member", {}, {{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp}")}},
         {}, "", "install dhcp-6.48\ninstall velnor-6.48\n", 0, "dhcp-6.48 ^velnor velnor-6.48"},
        {"a stream install", {}, {{"/flash/var/pdb/.imagetmpAAAAAA", "left by a killed run"}}, {"-"},
         line::file("hello-6.48 %i /bin/hello"), "install hello-6.48\n", 0, "hello-6.48"},
        {"a stream install refused", {"ntp-6.48 do=uninstall", "dhcp-6.48"}, {}, {"-"},
         line::file("hello-6.48 arch=mips"), mips, 1, "dhcp-6.48 ntp-6.48"},
        {"what a stopped run left is not touched", {},
         {dl("hello-6.48 /bin/hello"), {"/flash/var/pdb/.staged", "/flash/tmpAAAAAA\n"}, {"/flash/tmpAAAAAA", "x"}}, {},
         "", "WARNING: an interrupted run is completed first; the plan does not show it\ninstall hello-6.48\n", 0,
         "hello-6.48"},
        {"as JSON", {"hello-6.48 /bin/hello"}, {dl("hello-6.49 /bin/hello")}, {"--json"}, "",
         R"({"plan":[{"action":"upgrade","name":"hello","from":"6.48","to":"6.49","disabled":false}],"status":0})"
         "\n",
         0, "hello-6.49"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_root root;
        scenario::lay_out(root, r.installed);
        for (const auto& [path, content] : r.files) root.write_file(path, content);
        const std::string before = everything(root);

        std::vector<std::string> simulate = {"--simulate"};
        simulate.insert(simulate.end(), r.args.begin(), r.args.end());
        const run_result simulated = scenario::run(root, {{simulate, r.input, {}, r.env}});
        EXPECT_EQ(simulated.out, r.plan);
        EXPECT_EQ(simulated.status, r.status);
        EXPECT_EQ(everything(root), before);

        std::vector<std::string> real = r.args;
        std::erase(real, "--json");
        const run_result done = scenario::run(root, {{real, r.input, {}, r.env}});
        EXPECT_EQ(done.status, r.status) << done.out;
        const std::string records = scenario::records(root);
        EXPECT_EQ(records, r.records);
        expect_done(r.plan, records);
    }
}

}  // namespace
