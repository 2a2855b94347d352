#include "resolve/action_planner.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>

#include "resolve/candidate_index.h"
#include "resolve/selection.h"
#include "resolve/version.h"
#include "store/database.h"
#include "store/installing.h"

namespace {

bool removing(const package_record& record) {
    return record.scheduled_action == action_uninstall || record.scheduled_action == action_disable;
}

// The propagation steps over one package list. The list does not change
// while they run (only the records' scheduled actions do); the records are
// looked up through the index that follows the list, and the steps go through
// the records it finds involved, in list order: they would leave every other
// record as it is.
class propagation {
public:
    propagation(installer_context& ctx, bool report)
        : ctx_(ctx), report_(report), index_(candidate_index::of(ctx.packages)) {}

    const std::vector<candidate_index::item>& involved() const { return index_.involved(); }

    // Members follow what is scheduled for their bundle.
    void follow_bundles() {
        for (const auto& [ordinal, member] : involved()) {
            if (member->bundle_reference.name.empty()) continue;
            const package_record* bundle = index_.first_named(member->bundle_reference.name);
            if (!bundle) continue;
            switch (bundle->scheduled_action) {
            case action_disable:
                if (member->scheduled_action != action_uninstall) member->scheduled_action = action_disable;
                break;
            case action_uninstall:
                member->scheduled_action = action_uninstall;
                break;
            case action_enable:
                if (member->disabled) member->scheduled_action = action_enable;
                break;
            default:
                break;
            }
        }
    }

    // Makes sure that what an active record needs will be active: its bundle
    // and a candidate for each dependency that has no active one.
    void activate_dependencies(package_record& record) {
        // Coming back to a record whose dependencies are being made active
        // further up, with no action changed since that call began (a bundle
        // that names itself, or bundles naming each other in a ring), would
        // do exactly what that call did and come back here again, for ever.
        // That call is already taking care of the record.
        for (const auto& [under_way, changes] : activating_)
            if (under_way == &record && changes == changes_) return;
        activating_.emplace_back(&record, changes_);
        if (!record.bundle_reference.name.empty())
            if (package_record* bundle = index_.first_named(record.bundle_reference.name))
                make_dependency_active(*bundle, record);
        for (const requirement& req : record.dependencies) {
            record_list candidates = index_.collect(req, true);
            if (candidate_status(candidates) == candidate_active) continue;
            // Nothing installed can satisfy it: drop_orphans deals with the
            // record later.
            if (candidates.empty()) break;
            filter_candidates(ctx_, candidates, no_minimum_version, false);
            if (!candidates.empty()) make_dependency_active(*candidates.back(), record);
        }
        activating_.pop_back();
    }

    void make_dependency_active(package_record& dependency, const package_record& dependent) {
        if (removing(dependency)) {
            if (report_)
                report_warning(ctx_, "can not %s %s: %s depends on it", action_word(dependency.scheduled_action),
                               name_version_text(dependency).c_str(), dependent.name.c_str());
            set_action(dependency, action_none);
        } else {
            // Enabled already: its own dependencies have been or will be
            // looked at in its own turn.
            if (!dependency.disabled) return;
            set_action(dependency, action_enable);
        }
        activate_dependencies(dependency);
    }

    // A record that stays or becomes active pushes out the enabled records
    // it conflicts with; one being enabled also pushes out the enabled
    // records that conflict with it, and gives way to a record being enabled
    // that conflicts with it.
    void resolve_conflicts(package_record& record) {
        index_.conflict_partners(record, partners_);
        for (package_record* partner : partners_) {
            package_record& other = *partner;
            if (!active_after_plan(other)) continue;
            if (conflicts_with(record, other)) {
                if (other.scheduled_action == action_none) other.scheduled_action = action_disable;
                continue;
            }
            if (record.scheduled_action != action_enable || !conflicts_with(other, record)) continue;
            if (other.scheduled_action == action_none) {
                other.scheduled_action = action_disable;
            } else if (other.scheduled_action == action_enable) {
                if (report_)
                    report_warning(ctx_, "can not enable %s: %s conflicts with it", record.name.c_str(),
                                   name_version_text(other).c_str());
                record.scheduled_action = action_none;
                return;
            }
        }
    }

    // Uninstalls the records that nothing can satisfy any more and disables
    // those left with inactive candidates only. Every change may take the
    // ground from under a record already looked at, so the scan starts over
    // from the first record after each one.
    void drop_orphans() {
        // The candidates of every dependency, per record; collected once, as
        // only the scheduled actions change during the scan.
        std::vector<std::vector<record_list>> candidates;
        for (const auto& [ordinal, record] : involved()) {
            candidates.emplace_back();
            for (const requirement& req : record->dependencies) candidates.back().push_back(index_.collect(req, true));
        }
        while (drop_one_orphan(candidates)) {
        }
    }

    // A bundle none of whose members stays active goes: uninstalled when it
    // is enabled or has no members left at all; an enable of a disabled one
    // is dropped.
    void settle_bundles() {
        for (const auto& [ordinal, owned] : involved()) {
            package_record& bundle = *owned;
            if (!bundle.bundle || bundle.scheduled_action == action_uninstall) continue;
            // A bundle whose members are still being installed has no active
            // member yet because its first members may go in disabled.
            if (&bundle == ctx_.bundle_being_installed) continue;
            bool active_member = false;
            bool inactive_member = false;
            for (const auto& [member_ordinal, member] : involved()) {
                if (member->is_placeholder() || member->bundle_reference.name != bundle.name) continue;
                if (active_after_plan(*member)) {
                    active_member = true;
                    break;
                }
                if (member->disabled ? member->scheduled_action != action_enable &&
                                           member->scheduled_action != action_uninstall
                                     : member->scheduled_action == action_disable)
                    inactive_member = true;
            }
            if (active_member) continue;
            if (!inactive_member || !bundle.disabled)
                bundle.scheduled_action = action_uninstall;
            else if (bundle.scheduled_action == action_enable)
                bundle.scheduled_action = action_none;
        }
    }

private:
    void set_action(package_record& record, action_kind action) {
        if (record.scheduled_action == action) return;
        record.scheduled_action = action;
        ++changes_;
    }

    // One scan of drop_orphans up to its first change; false when a whole
    // scan changed nothing.
    bool drop_one_orphan(const std::vector<std::vector<record_list>>& candidates) {
        std::size_t i = 0;
        for (const auto& [ordinal, involved_record] : involved()) {
            package_record& record = *involved_record;
            for (const record_list& list : candidates[i++]) {
                int status = candidate_status(list);
                if (status == candidate_none && record.scheduled_action != action_uninstall) {
                    record.scheduled_action = action_uninstall;
                    return true;
                }
                if (status == candidate_inactive && active_after_plan(record)) {
                    record.scheduled_action = action_disable;
                    return true;
                }
            }
        }
        return false;
    }

    installer_context& ctx_;
    bool report_;
    candidate_index& index_;
    std::vector<package_record*> partners_;
    // Actions changed by make_dependency_active so far.
    std::uint64_t changes_ = 0;
    // Records whose activate_dependencies is under way, innermost last, each
    // with the count of changes when it began.
    std::vector<std::pair<const package_record*, std::uint64_t>> activating_;
};

// Runs the propagation steps; `enabling` gets the records they leave
// scheduled for enable, in package-list order, and the result is what
// filter_candidates keeps of them, in its order.
record_list propagate(installer_context& ctx, bool report, record_list& enabling) {
    {
        propagation steps(ctx, report);
        steps.follow_bundles();
        for (const auto& [ordinal, record] : steps.involved())
            if (active_after_plan(*record)) steps.activate_dependencies(*record);
        for (const auto& [ordinal, record] : steps.involved())
            if (active_after_plan(*record)) steps.resolve_conflicts(*record);
        steps.drop_orphans();
        steps.settle_bundles();
    }
    enabling.clear();
    for (const auto& record : ctx.packages)
        if (record->scheduled_action == action_enable) enabling.push_back(record.get());
    record_list enabled = enabling;
    filter_candidates(ctx, enabled, no_minimum_version, false);
    return enabled;
}

}  // namespace

bool plan_actions(installer_context& ctx, record_list& removal, record_list& enable, bool report) {
    // An enable that filter_candidates drops (superseded by a related record
    // being enabled, or not the latest build in flagged state) never happens,
    // so neither may what the steps did for it: the packages disabled because
    // it conflicts with them, the dependencies enabled for it. The plan is
    // made again, quietly, from the requested actions without such requests
    // until none is dropped; each round withdraws at least one request.
    std::vector<action_kind> requested;
    requested.reserve(ctx.packages.size());
    for (const auto& record : ctx.packages) requested.push_back(record->scheduled_action);
    const auto restore_requested = [&] {
        for (std::size_t i = 0; i < requested.size(); ++i) ctx.packages[i]->scheduled_action = requested[i];
    };
    record_list enabling;
    record_list enabled = propagate(ctx, false, enabling);
    for (;;) {
        const std::unordered_set<package_record*> kept(enabled.begin(), enabled.end());
        bool withdrawn = false;
        // The records of `enabling`, at their places in the list.
        for (std::size_t i = 0; i < ctx.packages.size(); ++i) {
            package_record* record = ctx.packages[i].get();
            if (record->scheduled_action != action_enable) continue;
            action_kind& request = requested[i];
            if (!kept.contains(record) && request == action_enable) {
                request = action_none;
                withdrawn = true;
            }
        }
        if (!withdrawn) break;
        restore_requested();
        enabled = propagate(ctx, false, enabling);
    }
    if (report) {
        // The same steps once more on the same actions, to report the
        // warnings of the plan that is carried out.
        restore_requested();
        enabled = propagate(ctx, true, enabling);
    }
    // What is still dropped was enabled by the steps themselves (a
    // dependency); left with its action it would count as active to every
    // later plan of the run. Cleared before the plan is judged, so that a
    // plan whose only active records were such enables is refused like any
    // other that leaves nothing active.
    const std::unordered_set<package_record*> kept(enabled.begin(), enabled.end());
    for (package_record* record : enabling)
        if (!kept.contains(record)) record->scheduled_action = action_none;

    if (!ctx.packages.empty() && !any_active(ctx)) {
        for (const auto& record : ctx.packages) record->scheduled_action = action_none;
        if (report) report_error(ctx, "can not uninstall or disable all packages");
        return false;
    }

    record_list removing_now;
    for (const auto& record : ctx.packages)
        if (removing(*record)) removing_now.push_back(record.get());

    // Both come out in the reverse of package-list order (the enables in the
    // reverse of the filtered order).
    removal.insert(removal.begin(), removing_now.rbegin(), removing_now.rend());
    enable.insert(enable.begin(), enabled.rbegin(), enabled.rend());
    return true;
}

bool apply_actions(installer_context& ctx, file_manifest& manifest, planner_verbosity verbosity) {
    record_list removal;
    record_list enable;
    if (!plan_actions(ctx, removal, enable, verbosity != planner_verbosity::quiet)) return false;
    const bool planned = !removal.empty() || !enable.empty();
    remove_records(ctx, manifest, std::move(removal), verbosity);
    enable_records(ctx, manifest, enable, verbosity);
    return planned;
}

void remove_records(installer_context& ctx, file_manifest& manifest, record_list&& list,
                    planner_verbosity verbosity) {
    const record_list records = std::move(list);
    list.clear();
    for (package_record* listed : records) {
        // Looked up by identity before it is touched: several records may
        // share a name (an image in both image places, the unnamed markers of
        // a bundle's default-disabled members), and a record met twice has
        // been destroyed by then.
        if (!ctx.packages.contains(listed)) continue;
        package_record& record = *listed;
        const std::string text = name_version_text(record);
        if (record.scheduled_action == action_uninstall) {
            if (verbosity == planner_verbosity::everything) show_status(ctx, "uninstalling " + text + "...");
            uninstall_files(ctx, record, manifest);
            ctx.packages.remove(listed);
            if (verbosity == planner_verbosity::everything) report_info(ctx, "uninstalled %s", text.c_str());
        } else {
            if (verbosity != planner_verbosity::quiet) show_status(ctx, "disabling " + text + "...");
            mark_disabled(record, manifest);
            if (verbosity != planner_verbosity::quiet) report_info(ctx, "disabled %s", text.c_str());
        }
    }
}

void enable_records(installer_context& ctx, file_manifest& manifest, const record_list& list,
                    planner_verbosity verbosity) {
    for (package_record* record : list) {
        const std::string text = name_version_text(*record);
        if (verbosity != planner_verbosity::quiet) show_status(ctx, "enabling " + text + "...");
        mark_enabled(*record, manifest);
        if (verbosity != planner_verbosity::quiet) report_info(ctx, "enabled %s", text.c_str());
    }
}

bool any_active(const installer_context& ctx) {
    return std::any_of(ctx.packages.begin(), ctx.packages.end(),
                       [](const auto& record) { return active_after_plan(*record); });
}
