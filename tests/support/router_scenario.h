// End-to-end scenarios: packages written in one line each, runs of the real
// installer on a temporary root, and what a run leaves, printed compactly.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/temp_root.h"

namespace scenario {

// A signed package file from one line: "name-version" then any of
// >dependency +provision !conflict (NAME[:MIN[:MAX[:PRECEDENCE]]]),
// /path (a file holding "name-version"), %image-part-text, @architecture,
// #header-flags, second-kind.
std::string pkg(const std::string& line);

// A signed bundle: its header line ("name-version", %image-part-text), its
// members' lines, and the names of its default-disabled members.
std::string bundle(const std::string& header, const std::vector<std::string>& members,
                   const std::vector<std::string>& disabled = {});

// One run of the installer on the root: files written first (root paths),
// then the program with "-r ROOT" and args, standard input and environment.
struct step {
    std::vector<std::string> args;
    std::string input = "";
    std::vector<std::pair<std::string, std::string>> files = {};
    std::vector<std::string> env = {};
};

// Runs the steps in turn; the result is the last step's.
run_result run(const temp_root& root, const std::vector<step>& steps);

// What the terminal shows of a run's output: status lines drawn and erased
// in place leave nothing, messages stay, one per line.
std::string screen(const std::string& output);

// The records a later run loads, sorted: "name-version[ off][ user][ ^bundle][ @action]", blank-separated.
std::string records(const temp_root& root);

// Every file of the root but the post-install log and the meta and state
// files of the database, sorted
// and blank-separated: "/flash/" left out, "var/pdb/" shortened to "pdb/",
// "=content" for short text files, "->target" for links.
std::string files(const temp_root& root);

}  // namespace scenario
