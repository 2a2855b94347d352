// The records of the package list by the names they stand for: their own name
// and every name they provide. The planners ask for the candidates of many
// requirements over a list that stays the same while they plan; going through
// the whole list for each of them would make a plan quadratic in its size.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "console/context.h"
#include "store/package.h"

class candidate_index {
public:
    // Indexes the package list as it stands. Records added to or taken out of
    // the list afterwards are not seen, and a record taken out must not be
    // looked up through an index built before.
    explicit candidate_index(const installer_context& ctx);

    // The same records, in the same order, as collect_candidates(ctx, req,
    // include_disabled).
    std::vector<package_record*> collect(const requirement& req, bool include_disabled) const;

    // The same record as find_package(ctx, name): the first of that name.
    package_record* first_named(const std::string& name) const;

private:
    // Own or provided name to the records that bear it, in package-list order,
    // each record once.
    std::unordered_map<std::string, std::vector<package_record*>> bearers_;
    std::unordered_map<std::string, package_record*> first_named_;
};
