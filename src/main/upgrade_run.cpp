#include "main/upgrade_run.h"

#include <sys/stat.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "main/package_image.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"
#include "resolve/action_planner.h"
#include "resolve/check_flags.h"
#include "resolve/install_planner.h"
#include "resolve/selection.h"
#include "store/database.h"
#include "store/repository.h"

namespace {

// A package file is read through whole while it is installed.
constexpr std::size_t install_read_size = 65536;

// The minimum version below which offered packages are refused while
// downgrades are allowed, read as an unsigned decimal number; a marker that
// holds no number refuses nothing, one too large for 32 bits nearly all (the
// largest number would mean no minimum, and downgrades not preferred).
bool read_downgrade_minimum(std::uint32_t& minimum) {
    std::string text;
    if (read_small_file(downgrade_marker_path, max_meta_file_size, text) == small_file_result::missing) return false;
    minimum = 0;
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at < text.size() && text[at] == '+') ++at;
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value >= no_minimum_version) value = no_minimum_version - 1;
    }
    minimum = static_cast<std::uint32_t>(value);
    return true;
}

// The first download directory that offers anything.
void find_candidates(installer_context& ctx, candidate_list& candidates) {
    struct stat st;
    if (::stat(ignore_marker_path, &st) != 0) scan_download_dir(ctx, download_directories[0], candidates);
    if (candidates.empty()) scan_download_dir(ctx, download_directories[1], candidates);
    if (candidates.empty()) scan_download_dir(ctx, download_directories[2], candidates);
}

// Whether a package could be enabled without two conflicting packages
// ending up enabled: no enabled package conflicts with it, it conflicts with
// no enabled package, and neither holds between it and a package already
// chosen to be enabled with it.
bool free_of_enabled_conflicts(const installer_context& ctx, const package_record& record,
                               const std::vector<package_record*>& enabling) {
    if (find_enabled_conflict(ctx, record)) return false;
    for (const auto& other : ctx.packages)
        if (other.get() != &record && !other->disabled && conflicts_with(record, *other)) return false;
    for (const package_record* other : enabling)
        if (other != &record && (conflicts_with(record, *other) || conflicts_with(*other, record))) return false;
    return true;
}

}  // namespace

void upgrade_run(installer_context& ctx, file_manifest& manifest, std::uint32_t mask) {
    std::uint32_t minimum = no_minimum_version;
    if (read_downgrade_minimum(minimum)) mask |= check_older;

    candidate_list found;
    find_candidates(ctx, found);
    std::vector<download_record*> candidates;
    for (const auto& record : found) candidates.push_back(record.get());
    filter_candidates(ctx, candidates, minimum, true);

    user_set_states states;
    std::set<std::string> keep_enabled;
    for (const auto& record : ctx.packages) {
        if (record->user_set) states.emplace(record->name, record->disabled);
        if (record->disabled) continue;
        keep_enabled.insert(record->name);
        for (const requirement& provision : record->provisions) keep_enabled.insert(provision.name);
    }

    if (!candidates.empty()) prepare_post_install_log(ctx);
    for (const download_record* candidate : candidates) {
        bool boot = false;
        install_result result = install_result::ok;
        {
            regular_istream file(candidate->path, install_read_size);
            if (!file.is_open()) continue;
            result = install_from_stream(ctx, manifest, file, mask, states, nullptr, nullptr, &boot);
        }
        if (result != install_result::ok) {
            // Nothing of this run is applied, not even what earlier
            // candidates and the scheduled actions staged.
            cancel_manifest(manifest);
            return;
        }
        // Only a package that is still installed keeps its file as its
        // image: one that the planner uninstalled again (a bundle left
        // without an active member) would come back from it at the next start.
        if (candidate->image && find_package(ctx, candidate->name)) {
            keep_as_image(manifest, candidate->path, record_directory(candidate->name) + "image", boot);
        }
    }

    std::vector<package_record*> enable;
    for (const std::string& name : keep_enabled) {
        package_record* record = find_provider(ctx, name);
        if (record && record->disabled && free_of_enabled_conflicts(ctx, *record, enable)) enable.push_back(record);
    }
    enable_records(ctx, manifest, enable, planner_verbosity::disables_and_enables);

    if (ctx.packages.empty()) {
        report_error(ctx, "router installation failed!!!");
        cancel_manifest(manifest);
    }
}
