// Runs stopped at every changing call in turn, as a kill or a power cut would stop them, then the installer run again:
// each root must end as if the run had not happened or had happened whole.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "support/crash_disk.h"
#include "support/limited_run.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

namespace {

const std::string download = "/rw/pckg/.download/";

std::pair<std::string, std::string> dl(const std::string& text) {
    return {download + text.substr(0, text.find(' ')) + ".qpk", line::file(text)};
}

struct crash_case {
    const char* what;
    std::vector<std::string> installed = {};
    std::vector<std::pair<std::string, std::string>> files = {};  // placed first
    std::vector<std::vector<std::string>> runs = {{}};            // the arguments of each run
    std::vector<std::vector<std::string>> after = {};             // what is run after a stop, before a plain run
    std::vector<std::string> env = {};
    std::string test_name = "";
};
void PrintTo(const crash_case& c, std::ostream* out) { *out << c.what; }

// One run in a child changed into root, through a crash disk that stops it before call stop_at, or makes that call
// fail with EIO: the number of changing calls it made, or -1 when it was stopped; its exit status in status.
long run_through(const temp_root& root, const crash_case& c, const std::vector<std::string>& args, long stop_at = 0,
                 crash_disk::stop_as how = crash_disk::stop_as::kill, bool fail = false, int* status = nullptr) {
    const run_result r = run_in_child(root.path(), [&] {
        for (const std::string& variable : c.env) ::putenv(const_cast<char*>(variable.c_str()));
        crash_disk disk;
        (fail ? disk.fail_at : disk.stop_at) = stop_at;
        disk.fail_errno = EIO;
        disk.stop = how;
        use_disk(&disk);
        const int result = call_installer_main(args);
        std::fprintf(stderr, "\n%ld", disk.calls);
        return result;
    });
    if (status) *status = r.status;
    return r.status == crash_disk::stopped ? -1 : std::stol(r.err.substr(r.err.rfind('\n') + 1));
}

// The records and files a later start finds, once the operator's runs after a stop and a plain run are done.
std::string settled(const temp_root& root, const crash_case& c, bool run) {
    root.write_file(download + "IGNORE", "");
    for (const auto& args : c.after) run_through(root, c, args);
    if (run) run_through(root, c, {});
    return scenario::records(root) + " | " + scenario::files(root);
}

void copy_root(const temp_root& from, const temp_root& to) {
    namespace fs = std::filesystem;
    fs::copy(from.path(), to.path(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing);
}

crash_case upgrade() {
    return {.what = "an upgrade replacing and removing files of two packages",
            .installed = {"hello-6.48 /bin/hello /etc/old", "ntp-6.48 /bin/ntp /etc/ntp/conf"},
            .files = {dl("hello-6.49 /bin/hello /www/new"), dl("ntp-6.49 /bin/ntp /etc/ntp")}};
}

std::vector<crash_case> cases() {
    return scenario::named<crash_case>({
        upgrade(),
        {.what = "a scheduled uninstall", .installed = {"hello-6.48 /bin/hello", "ntp-6.48 /bin/ntp do=uninstall"}},
        {.what = "a bundle", .files = {{download + "velnor.vpk", line::file("velnor-6.48 %v {dhcp-6.48 /bin/dhcp}")}}},
        {.what = "the boot package", .files = {dl("system-6.48 #1 %k /bin/sh")}, .env = {"bootimage=1"}},
        {.what = "--safe, then --commit", .installed = {"hello-6.48 /bin/hello /etc/old"},
         .files = {dl("hello-6.49 /bin/hello")}, .runs = {{"--safe"}, {"--commit"}}, .after = {{"--commit"}}},
    });
}

using EveryStopLeavesTheRunUndoneOrWhole = testing::TestWithParam<crash_case>;
INSTANTIATE_TEST_SUITE_P(Rows, EveryStopLeavesTheRunUndoneOrWhole, testing::ValuesIn(cases()), scenario::test_name());

}  // namespace

TEST_P(EveryStopLeavesTheRunUndoneOrWhole, Run) {
    const crash_case& c = GetParam();
    int points = 0;
    temp_root start, whole, untouched;
    scenario::lay_out(start, c.installed);
    for (const auto& [path, content] : c.files) start.write_file(path, content);
    copy_root(start, whole);
    copy_root(start, untouched);
    std::vector<long> calls;
    for (const auto& args : c.runs) calls.push_back(run_through(whole, c, args));
    const std::string after = settled(whole, c, true), before = settled(untouched, c, false);
    ASSERT_NE(before, after);
    for (std::size_t run = 0; run < c.runs.size(); ++run)
        for (long call = 1; call <= calls[run]; ++call)
            for (auto how : {crash_disk::stop_as::kill, crash_disk::stop_as::power_cut}) {
                temp_root root;
                copy_root(start, root);
                for (std::size_t done = 0; done < run; ++done) run_through(root, c, c.runs[done]);
                ASSERT_EQ(run_through(root, c, c.runs[run], call, how), -1);
                const std::string left = settled(root, c, true);
                EXPECT_TRUE(left == before || left == after)
                    << "run " << run << " stopped at call " << call << (how == crash_disk::stop_as::kill ? " (kill)" : " (power cut)")
                    << "\n left " << left << "\nbefore " << before << "\n after " << after;
                ++points;
            }
    std::printf("crash points checked: %d\n", points);
}

// A call that fails instead: a run that ends with status 0 has landed whole (a journal or list it could not remove is
// harmless to complete again), and the next run leaves the root undone or whole in any case.
TEST(CrashMatrixTest, EveryFailedCallLeavesTheRunUndoneOrWhole) {
    const crash_case c = upgrade();
    int points = 0;
    temp_root start;
    scenario::lay_out(start, c.installed);
    for (const auto& [path, content] : c.files) start.write_file(path, content);
    for (long call = 1;; ++call) {
        SCOPED_TRACE("call " + std::to_string(call) + " fails");
        temp_root root;
        copy_root(start, root);
        int status = -1;
        if (run_through(root, c, {}, call, crash_disk::stop_as::kill, true, &status) < call) break;
        const std::string left = settled(root, c, false), next = settled(root, c, true);
        if (status == 0) {
            std::string landed = left;
            for (const char* kept : {"pdb/.journal:600 ", "pdb/.staged:600 "})
                if (landed.find(kept) != std::string::npos) landed.erase(landed.find(kept), std::strlen(kept));
            EXPECT_EQ(landed, next);
        }
        EXPECT_TRUE(next.starts_with("hello-6.48 ntp-6.48 |") || next.starts_with("hello-6.49 ntp-6.49 |")) << next;
        EXPECT_EQ(next.find("tmp"), std::string::npos) << next;
        ++points;
    }
    std::printf("crash points checked: %d\n", points);
}
