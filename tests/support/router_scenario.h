// End-to-end scenarios: installed packages laid out in a temporary root, runs of the real installer on it, and what
// a run leaves, printed compactly. Packages are written in the notation of support/package_line.h.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/temp_root.h"

namespace scenario {

// Installed packages as the database keeps them: a line with members or an image part becomes a package image in
// /flash/var/pdb (members' states in their own record directories), any other line a record directory of meta files
// with its files on flash; "off", "user" and "do=" become the state and schedule files.
void lay_out(const temp_root& root, const std::vector<std::string>& lines);

// One run of the installer on the root: files written first (root paths), then the program with "-r ROOT" and args,
// standard input and environment.
struct step {
    std::vector<std::string> args;
    std::string input = "";
    std::vector<std::pair<std::string, std::string>> files = {};
    std::vector<std::string> env = {};
};

// Runs the steps in turn; the result is the last step's.
run_result run(const temp_root& root, const std::vector<step>& steps);

// The entry function with args in a child whose /flash and /ram are each a tmpfs of the given size ("64k"), with
// fill bytes taken on flash first; status 77, with the reason on standard error, where mounting is refused. The
// result's left is files() of the root as the run left it, small disks included.
run_result run_on_small_disks(const temp_root& root, const std::string& size, std::size_t fill,
                              const std::vector<std::string>& args, const std::string& input = "");

// What the terminal shows of a run's output: messages one per line, and each status line that was drawn, without
// its progress bar, as "> text".
std::string screen(const std::string& output);

// The records the run after a restart loads (without schedule files), sorted: "name-version[ off][ user][ ^bundle][
// do=action]", blank-separated.
std::string records(const temp_root& root);

// Every file of the root but the post-install log, the schedule files and the meta and state files of the database,
// sorted and blank-separated: "/flash/" left out, "var/pdb/" shortened to "pdb/", "=content" for short text files,
// ":mode" unless 644, "->target" for links, "tmp*" for a temporary file.
std::string files(const temp_root& root);

// A scenario table: each row's packages laid out in a new root, its steps run, and what they left compared (the
// post-install log when given). Rows name their fields; what is left out is expected empty (status 0).
struct row {
    const char* what;
    std::vector<std::string> installed = {};
    std::vector<step> steps = {};
    std::string screen = "";
    int status = 0;
    std::string records = "", files = "";
    std::optional<std::string> postlog = {};
    std::string test_name = "";  // given by named()
};
void check(const row& r);

// Each row its own test, named after what it does in letters, digits and underscores (numbered where rows share a
// name), so that one can run alone: --gtest_filter='*Scenarios*/a_package'. For any table whose rows have a `what`
// and a `test_name`: INSTANTIATE_TEST_SUITE_P(Rows, SUITE, testing::ValuesIn(named(ROWS)), test_name()).
std::string words_of(std::string_view what);
template <typename Row>
std::vector<Row> named(std::vector<Row> rows) {
    std::map<std::string, int> seen;
    for (Row& r : rows)
        if (const int n = ++seen[r.test_name = words_of(r.what)]; n > 1) r.test_name += "_" + std::to_string(n);
    return rows;
}
struct test_name {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row>& info) const { return info.param.test_name; }
};
void PrintTo(const row& r, std::ostream* out);
using rows = testing::TestWithParam<row>;
// The scenario rows that ROWS returns, each checked as the test Rows/SUITE.Run/<its name>.
#define SCENARIO_TABLE(SUITE, ROWS)                                  \
    using SUITE = scenario::rows;                                    \
    TEST_P(SUITE, Run) { scenario::check(GetParam()); }              \
    INSTANTIATE_TEST_SUITE_P(Rows, SUITE, testing::ValuesIn(scenario::named(ROWS)), scenario::test_name())

}  // namespace scenario
