// The query options: which files an installed package has, which package
// has a file, whether the installed files are still in place, and the
// installed set as one JSON document for scripts. None of them writes
// anything.
#pragma once

#include <string>

#include "console/context.h"

enum class query_mode { none, files, owner, audit };

struct query_options {
    query_mode mode = query_mode::none;
    // The package name of "--files" and of "--audit" (empty: every package),
    // the path of "--owner".
    std::string argument;
    bool json = false;     // "--json"
};

// Takes argv[i] when it is "--json", "--files" or "--owner" with the
// argument that must follow it, or "--audit" with the package name that may
// follow it (a word that does not begin with "-"); i then stands on the last
// word taken.
bool take_query_option(int argc, char** argv, int& i, query_options& query);

// Whether the run is a query: a query option, or "--json" with the listing.
// "--json" alone asks for nothing it can give.
bool is_query(const query_options& query, bool show);

// Runs the query on the loaded records; the exit status: 0, or 1 when the
// package or the path is not known or the audit found anything.
int run_query(installer_context& ctx, const query_options& query);
