#include "resolve/install_planner.h"

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "platform/probes.h"
#include "platform/router_paths.h"
#include "resolve/action_planner.h"
#include "resolve/check_flags.h"
#include "resolve/selection.h"
#include "resolve/version.h"
#include "store/database.h"
#include "store/installing.h"
#include "store/package_body.h"
#include "store/package_format.h"

namespace {

// A member is checked with every outcome accepted, so that nothing is
// reported for it; its acceptance is judged against the caller's mask.
constexpr std::uint32_t member_check_mask = 0xFFFFFFFF;

// Why a package that was just installed is gone again: the action planner
// uninstalled it at once, which happens when a dependency that only the
// version it replaced satisfied is no longer there.
void report_uninstalled_at_once(installer_context& ctx, const std::string& name,
                                const std::vector<requirement>& dependencies) {
    for (const requirement& req : dependencies) {
        if (collect_candidates(ctx, req, true).empty()) {
            report_error(ctx, "can not install %s: %s is not installed, but is required", name.c_str(),
                         requirement_text(req).c_str());
            return;
        }
    }
    report_error(ctx, "can not install %s: it could not stay installed beside the installed packages", name.c_str());
}

// Marks a member that the bundle wants disabled unless the user chose its
// state: an enabled, unnamed record that conflicts with every package of the
// member's name. It lives in memory for the rest of the run and is never
// written to the package database.
std::unique_ptr<package_record> default_disable_marker(const std::string& member) {
    std::unique_ptr<package_record> marker = new_package_record("");
    marker->conflicts.push_back(requirement{member, 0, 0, 0});
    return marker;
}

// Until all its members are in, the bundle has no active member yet; the
// action planner must not take it for a bundle whose members went away. The
// mark lasts as long as this object, whichever way the members' loop ends.
class bundle_in_progress {
public:
    bundle_in_progress(installer_context& ctx, const package_record* bundle) : ctx_(ctx) {
        ctx_.bundle_being_installed = bundle;
    }
    ~bundle_in_progress() { ctx_.bundle_being_installed = nullptr; }
    bundle_in_progress(const bundle_in_progress&) = delete;
    bundle_in_progress& operator=(const bundle_in_progress&) = delete;

private:
    installer_context& ctx_;
};

// What stands for a package that the check did not take (older, the same
// version, incompatible, or refused by the mask): the installed namesake, or
// null when the package counts as not installed.
package_record* not_taken(installer_context& ctx, const package_record& package, package_istream& stream,
                          std::uint32_t mask, std::uint32_t flags, const requirement* bundle, bool* boot) {
    if (bundle) {
        // The installed namesake stands for a member that is not taken
        // (older, the same version, or incompatible).
        while (!stream.fail() && !stream.bad() && stream.current_type != part_type::package_header)
            stream.next_part();
        return find_package(ctx, package.name);
    }
    if ((mask & check_same) && (flags & check_same)) {
        show_status(ctx, std::string(78, ' '));
        show_status(ctx, "");
        report_info(ctx, "installed %s%s", package.disabled ? "(disabled) " : "", name_version_text(package).c_str());
        package_record* installed = find_package(ctx, package.name);
        if (boot && installed) *boot = installed->is_boot_package();
        return installed;
    }
    if (!(flags & check_same)) return nullptr;
    return find_package(ctx, package.name);
}

}  // namespace

install_result install_from_stream(installer_context& ctx, file_manifest& manifest, std::istream& input,
                                   std::uint32_t mask, const user_set_states& states, std::streambuf* tee,
                                   std::string* record_dir, bool* boot) {
    package_istream stream(input, true, tee);
    add_wanted_types(stream, install_wanted_types);
    stream.next_part();
    if (stream.current_type == part_type::bundle_header)
        return install_bundle(ctx, manifest, stream, mask, states, record_dir, boot);
    return install_one(ctx, manifest, stream, mask, states, nullptr, record_dir, boot) ? install_result::ok
                                                                                      : install_result::failed;
}

package_record* install_one(installer_context& ctx, file_manifest& manifest, package_istream& stream,
                            std::uint32_t mask, const user_set_states& states, const requirement* bundle,
                            std::string* record_dir, bool* boot) {
    std::unique_ptr<package_record> package = new_package_record("");
    if (!read_description(*package, stream)) return nullptr;
    if (bundle && package->name == bundle->name) return nullptr;
    // The name becomes a directory of the package database and is looked up
    // among the installed records: one that cannot stand as a record
    // directory is refused before anything is staged or replaced for it.
    if (!is_valid_record_name(package->name)) {
        if (bundle) package->bundle_reference = *bundle;  // reported under its bundle's name
        broken_package(ctx, *package);
        return nullptr;
    }

    std::uint32_t flags = install_check(ctx, *package, bundle ? member_check_mask : mask | check_conflicting);
    auto state = states.find(package->name);
    if (state != states.end()) {
        package->disabled = state->second;
        package->user_set = true;
    } else {
        package->disabled = false;
    }
    // A package that an enabled package conflicts with goes in disabled
    // instead of being refused.
    if (flags & check_conflicting) {
        flags &= ~check_conflicting;
        package->disabled = true;
    }

    if (flags & (~mask | check_same)) return not_taken(ctx, *package, stream, mask, flags, bundle, boot);

    if (bundle) package->bundle_reference = *bundle;
    if (!stream.has_second_magic()) remove_installed(ctx, manifest, package->name);
    if (!install_package(ctx, *package, manifest, stream)) return nullptr;

    package_record* installed = package.get();
    const std::string name = name_version_text(*installed);
    const std::vector<requirement> dependencies = installed->dependencies;
    const bool keeps_image = installed->image;
    const std::string directory = record_directory(*installed);
    ctx.packages.add(std::move(package));
    apply_actions(ctx, manifest, planner_verbosity::quiet);
    // The planner may have uninstalled (and destroyed) the new record; the
    // installation must not then pass for a success, or its staged meta
    // files would bring it back as a ghost at the next start.
    if (!ctx.packages.contains(installed)) {
        report_uninstalled_at_once(ctx, name, dependencies);
        return nullptr;
    }
    // The package file becomes the package image only when the package was
    // really installed from it: a copy of a stream that stopped early is not
    // a package.
    if (record_dir && keeps_image) *record_dir = directory;
    if (boot) *boot = installed->is_boot_package() && boot_image_requested();
    return installed;
}

install_result install_bundle(installer_context& ctx, file_manifest& manifest, package_istream& stream,
                              std::uint32_t mask, const user_set_states& states, std::string* record_dir,
                              bool* boot) {
    if (boot) *boot = false;
    std::unique_ptr<package_record> owned = new_package_record("");
    if (!read_description(*owned, stream)) return install_result::failed;
    if (!owned->dependencies.empty() || !owned->provisions.empty() || !owned->conflicts.empty())
        return install_result::failed;
    if (stream.current_type == part_type::image) stream.next_part();

    std::uint32_t flags = install_check(ctx, *owned, mask);
    if (flags & ~mask) return install_result::refused;
    remove_installed(ctx, manifest, owned->name);
    if (!claim_and_write_meta(ctx, *owned, manifest)) return install_result::failed;
    const requirement reference{owned->name, owned->version, owned->version, 0};
    ctx.packages.remove(find_package(ctx, owned->name));
    package_record* bundle = &ctx.packages.add(std::move(owned));

    std::set<std::string> old_members;
    for (const auto& record : ctx.packages)
        if (record->bundle_reference.name == reference.name) old_members.insert(record->name);

    if (stream.current_type == part_type::default_disabled_list) {
        std::vector<requirement> disabled;
        read_requirements(stream, disabled);
        for (const requirement& member : disabled)
            if (states.count(member.name) == 0) ctx.packages.add(default_disable_marker(member.name));
        stream.next_part();
    }

    int count = 0;
    {
        const bundle_in_progress in_progress(ctx, bundle);
        while (stream.current_type == part_type::package_header) {
            bool member_boot = false;
            package_record* member =
                install_one(ctx, manifest, stream, mask, states, &reference, nullptr, &member_boot);
            if (!member) return install_result::refused;
            ++count;
            old_members.erase(member->name);
            if (boot && member_boot) *boot = true;
        }
    }
    // A bundle cut between two members must not pass for one with fewer
    // members.
    if (!reached_package_end(stream, true)) return install_result::refused;
    if (count == 0) return install_result::without_members;

    for (const std::string& name : old_members)
        if (package_record* old_member = find_package(ctx, name)) old_member->scheduled_action = action_uninstall;
    const bool keeps_image = bundle->image;
    const std::string directory = record_directory(*bundle);
    apply_actions(ctx, manifest, planner_verbosity::quiet);
    // The planner uninstalls a bundle none of whose members is active; its
    // image must not then bring it back.
    if (record_dir && keeps_image && ctx.packages.contains(bundle)) *record_dir = directory;
    show_status(ctx, "");
    report_info(ctx, "installed %s", requirement_text(reference).c_str());
    return install_result::ok;
}

bool remove_installed(installer_context& ctx, file_manifest& manifest, const std::string& name) {
    package_record* installed = find_package(ctx, name);
    if (!installed) return false;
    uninstall_files(ctx, *installed, manifest);
    return ctx.packages.remove(installed);
}

bool clean_up(installer_context& ctx, file_manifest& manifest) {
    // Packages that declare a dependency on "system" 3.22 or newer were
    // built for the current base system.
    constexpr std::uint32_t last_old_system = 0x031665FF;
    apply_actions(ctx, manifest, planner_verbosity::quiet);
    for (const auto& record : ctx.packages) {
        if (record->bundle || is_kept_by_clean_up(record->name)) continue;
        bool current = false;
        for (const requirement& req : record->dependencies)
            if (req.name == base_system_name && req.minimum > last_old_system) current = true;
        if (!current) record->scheduled_action = action_uninstall;
    }
    return apply_actions(ctx, manifest, planner_verbosity::disables_and_enables);
}
