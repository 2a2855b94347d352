#include "resolve/candidate_index.h"

#include "resolve/version.h"

candidate_index::candidate_index(const installer_context& ctx) {
    for (const auto& owned : ctx.packages) {
        package_record* record = owned.get();
        first_named_.try_emplace(record->name, record);
        bearers_[record->name].push_back(record);
        for (const requirement& provision : record->provisions) {
            std::vector<package_record*>& bearers = bearers_[provision.name];
            if (bearers.empty() || bearers.back() != record) bearers.push_back(record);
        }
    }
}

std::vector<package_record*> candidate_index::collect(const requirement& req, bool include_disabled) const {
    std::vector<package_record*> candidates;
    auto found = bearers_.find(req.name);
    if (found == bearers_.end()) return candidates;
    // A record that neither bears nor provides the name can match no
    // requirement of it, so only the bearers need the full test.
    for (package_record* record : found->second) {
        if (record->is_placeholder()) continue;
        if (!matches(*record, req) && !provides(*record, req)) continue;
        if (record->disabled && !include_disabled) continue;
        candidates.push_back(record);
    }
    return candidates;
}

package_record* candidate_index::first_named(const std::string& name) const {
    auto found = first_named_.find(name);
    return found == first_named_.end() ? nullptr : found->second;
}
