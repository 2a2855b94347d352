#include "resolve/selection.h"

#include "platform/hardware.h"
#include "platform/probes.h"
#include "platform/router_paths.h"
#include "resolve/version.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <unordered_map>

namespace {

// The newest version that cannot live on a flash with 256 KiB erase blocks
// (3.20rc1); 3.20rc2 was the first to support them.
constexpr std::uint32_t last_small_block_version = 0x03146301;

}  // namespace

bool depends_on(const package_description& a, const package_description& b) {
    for (const requirement& req : a.dependencies)
        if (matches(b, req) || provides(b, req)) return true;
    for (const auto& member : b.sub_packages)
        if (depends_on(a, *member)) return true;
    for (const auto& member : a.sub_packages)
        if (depends_on(*member, b)) return true;
    return false;
}

bool conflicts_with(const package_description& a, const package_description& b) {
    if (a.is_placeholder() || b.is_placeholder()) return false;
    for (const requirement& req : a.conflicts)
        if (matches(b, req)) return true;
    // A provision that names the other package, or a name both provide, is a
    // deliberate statement of which of the two gives way; it settles the
    // question either way, before the looser tests below can say otherwise.
    for (const requirement& provision : b.provisions)
        if (provision.name == a.name) return provision.precedence < 0;
    for (const requirement& provision : a.provisions) {
        if (provision.name == b.name) return provision.precedence >= 0;
        for (const requirement& other : b.provisions)
            if (provision.name == other.name) return provision.precedence > other.precedence;
    }
    for (const requirement& req : a.conflicts)
        if (provides(b, req)) return true;
    for (const auto& member : b.sub_packages)
        if (member->name == a.name) return true;
    for (const auto& member : a.sub_packages)
        if (conflicts_with(*member, b)) return true;
    return false;
}

std::vector<package_record*> collect_candidates(const installer_context& ctx, const requirement& req,
                                                bool include_disabled) {
    std::vector<package_record*> candidates;
    for (const auto& record : ctx.packages) {
        if (record->is_placeholder()) continue;
        if (!matches(*record, req) && !provides(*record, req)) continue;
        if (record->disabled && !include_disabled) continue;
        candidates.push_back(record.get());
    }
    return candidates;
}

int candidate_status(const std::vector<package_record*>& candidates) {
    bool inactive_seen = false;
    for (const package_record* record : candidates) {
        // An enabled package asked to be enabled again stays enabled: it
        // still satisfies the requirement, and the packages that need it
        // must not be planned away because of a redundant request.
        if (active_after_plan(*record)) return candidate_active;
        // Enabled and going away satisfies nothing and keeps nothing.
        if (record->disabled || record->scheduled_action == action_disable) inactive_seen = true;
    }
    return inactive_seen ? candidate_inactive : candidate_none;
}

namespace {

// A reason why an offered package may not go in as the caller asked, with the
// message that tells the operator so.
struct check_reason {
    std::uint32_t accepted_by;  // the mask bit that takes it without a word; 0: none does
    bool is_warning;            // reported as a warning, else as an error
    std::string message;
};

std::string message_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string message_text(const char* format, ...) {
    // Cut where a reported message is cut, so that it reads the same.
    char buffer[256];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Why the package may not run on this router: older than the flash driver's
// minimum system version, or too old for 256 KiB erase blocks.
std::optional<check_reason> incompatibility(const package_description& package) {
    // Asked anew every time: the driver, not the installer, knows the floor.
    std::uint32_t minimum = platform::current_hardware().minimum_system_version();
    if (package.version < minimum) {
        std::string allowed = format_version(minimum);
        return check_reason{check_incompatible, false,
                            message_text("omitting package %s: min Velnor version is %s",
                                         name_version_text(package).c_str(), allowed.c_str())};
    }
    if (package.version <= last_small_block_version && erase_block_probe())
        return check_reason{check_incompatible, true,
                            message_text("omitting package %s: it does not support current file system",
                                         name_version_text(package).c_str())};
    return std::nullopt;
}

// Every reason found against the offered package, in the order in which the
// operator is to hear of them, and their check flags.
std::uint32_t check_reasons(const installer_context& ctx, const package_description& package,
                            std::vector<check_reason>& reasons) {
    std::uint32_t flags = 0;
    std::string offered = name_version_text(package);

    const package_record* installed = find_package(ctx, package.name);
    // Branding may replace the installed branding at any version.
    if (installed && installed->name != branding_name) {
        if (flagged_state() && installed->build_time > package.build_time) {
            reasons.push_back(
                {0, true, message_text("cannot install older %s: router in flagged state", offered.c_str())});
            flags = check_incompatible | check_conflicting;
        }
        int order = compare_packages(package, *installed);
        if (order < 0) {
            reasons.push_back({check_older, true,
                               message_text("omitting package %s: newer package %s is already installed",
                                            offered.c_str(), name_version_text(*installed).c_str())});
            flags |= check_older;
        } else if (order == 0) {
            reasons.push_back(
                {check_same, true, message_text("omitting package %s: it is already installed", offered.c_str())});
            flags |= check_same;
        } else {
            flags |= check_newer;
        }
    }

    if (is_base_system(package.name)) {
        if (std::optional<check_reason> reason = incompatibility(package)) {
            reasons.push_back(std::move(*reason));
            flags |= check_incompatible;
        }
    }

    if (!package.architecture.empty() && package.architecture != ctx.architecture) {
        reasons.push_back({check_incompatible, false,
                           message_text("can not install %s: it is not made for %s, but for %s", offered.c_str(),
                                        ctx.architecture.c_str(), package.architecture.c_str())});
        flags |= check_incompatible;
    }

    for (const requirement& req : package.dependencies) {
        if (!collect_candidates(ctx, req, false).empty()) continue;
        reasons.push_back({check_incompatible, false,
                           message_text("can not install %s: %s is not installed, but is required", offered.c_str(),
                                        requirement_text(req).c_str())});
        flags |= check_incompatible;
        break;
    }

    if (const package_record* conflict = find_enabled_conflict(ctx, package)) {
        reasons.push_back({check_conflicting, false,
                           message_text("can not install %s: it conflicts with %s", offered.c_str(),
                                        name_version_text(*conflict).c_str())});
        flags |= check_conflicting;
    }
    return flags;
}

}  // namespace

std::uint32_t install_check(installer_context& ctx, const package_description& package, std::uint32_t mask) {
    std::vector<check_reason> reasons;
    const std::uint32_t flags = check_reasons(ctx, package, reasons);
    // One refusal, one message: the first reason that the mask does not
    // accept is the one the operator sees; the flags still hold every reason.
    for (const check_reason& reason : reasons) {
        if (mask & reason.accepted_by) continue;
        if (reason.is_warning)
            report_warning(ctx, "%s", reason.message.c_str());
        else
            report_error(ctx, "%s", reason.message.c_str());
        break;
    }
    return flags;
}

package_record* find_enabled_conflict(const installer_context& ctx, const package_description& package) {
    for (const auto& record : ctx.packages)
        if (!record->disabled && conflicts_with(*record, package)) return record.get();
    return nullptr;
}

package_record* find_provider(const installer_context& ctx, const std::string& name) {
    package_record* last_disabled = nullptr;
    for (const auto& record : ctx.packages) {
        bool stands_for = record->name == name;
        for (const requirement& provision : record->provisions)
            if (provision.name == name) stands_for = true;
        if (!stands_for) continue;
        if (!record->disabled) return record.get();
        last_disabled = record.get();
    }
    return last_disabled;
}

namespace {

// Positions in a list of packages by name, for the pairs of packages that a
// rule can relate at all: comparing every package with every other would make
// a long list of downloads quadratic in its length.
class positions_by_name {
public:
    void add(const std::string& name, std::size_t position) {
        std::vector<std::size_t>& list = map_[name];
        if (list.empty() || list.back() != position) list.push_back(position);
    }
    // Adds the positions under name to out.
    void gather(const std::string& name, std::vector<std::size_t>& out) const {
        auto found = map_.find(name);
        if (found != map_.end()) out.insert(out.end(), found->second.begin(), found->second.end());
    }

private:
    std::unordered_map<std::string, std::vector<std::size_t>> map_;
};

void sort_unique(std::vector<std::size_t>& positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

// The names under which depends_on(a, package) can find package: its own,
// its provisions', and those of its members, at any depth.
void add_dependable_names(positions_by_name& index, const package_description& package, std::size_t position) {
    index.add(package.name, position);
    for (const requirement& provision : package.provisions) index.add(provision.name, position);
    for (const auto& member : package.sub_packages) add_dependable_names(index, *member, position);
}

// The names that package's dependencies ask for, its members' included.
void gather_needed(const positions_by_name& index, const package_description& package,
                   std::vector<std::size_t>& out) {
    for (const requirement& req : package.dependencies) index.gather(req.name, out);
    for (const auto& member : package.sub_packages) gather_needed(index, *member, out);
}

// The names that conflicts_with(package, b) looks for in b: its own, its
// conflicts', its provisions', and those of its members.
void add_conflicting_names(positions_by_name& index, const package_description& package, std::size_t position) {
    index.add(package.name, position);
    for (const requirement& req : package.conflicts) index.add(req.name, position);
    for (const requirement& provision : package.provisions) index.add(provision.name, position);
    for (const auto& member : package.sub_packages) add_conflicting_names(index, *member, position);
}

}  // namespace

std::vector<std::size_t> filter_candidate_order(installer_context& ctx,
                                                const std::vector<const package_description*>& list,
                                                std::uint32_t minimum, bool report) {
    bool downgrade = minimum != no_minimum_version;
    bool flagged = flagged_state();

    // A package can be dropped for another only when one of the two is named
    // as, or holds a member named as, the other, except in flagged state,
    // where every later build counts.
    positions_by_name named;
    if (!flagged)
        for (std::size_t y = 0; y < list.size(); ++y) {
            named.add(list[y]->name, y);
            for (const auto& member : list[y]->sub_packages) named.add(member->name, y);
        }

    std::vector<std::size_t> survivors;
    std::vector<std::size_t> others;
    for (std::size_t x = 0; x < list.size(); ++x) {
        const package_description& candidate = *list[x];
        if (downgrade && candidate.version < minimum) {
            // The operator asked for a downgrade and must learn why a package
            // was refused, whatever the caller wants reported.
            report_warning(ctx, "ommitting package %s: not allowed", name_version_text(candidate).c_str());
            continue;
        }
        others.clear();
        if (flagged) {
            for (std::size_t y = 0; y < list.size(); ++y) others.push_back(y);
        } else {
            named.gather(candidate.name, others);
            for (const auto& member : candidate.sub_packages) named.gather(member->name, others);
            sort_unique(others);
        }
        bool dropped = false;
        // Packages dropped by a comparison still count here: of two equal
        // ones both go.
        for (std::size_t y : others) {
            if (dropped) break;
            if (y == x) continue;
            const package_description& other = *list[y];
            if (flagged && other.build_time > candidate.build_time) {
                // In flagged state only the latest build may go on the router,
                // whatever package it belongs to.
                dropped = true;
                if (report)
                    report_warning(ctx, "ommiting older package %s: router in flagged state",
                                   name_version_text(candidate).c_str());
                break;
            }
            // A package refused for being below the minimum can never be
            // installed, so it must not push out an allowed one of its name.
            if (downgrade && other.version < minimum) continue;
            if (!named_or_contains(candidate, other.name) && !named_or_contains(other, candidate.name)) continue;
            int order = directional_compare(other, candidate, downgrade);
            if (order > 0) {
                dropped = true;
                if (report)
                    report_warning(ctx,
                                   downgrade ? "omitting package %s: older package is already provided"
                                             : "omitting package %s: newer package is already provided",
                                   name_version_text(candidate).c_str());
            } else if (order == 0) {
                // At a tie a bundle wins over the single package it contains.
                if (!candidate.bundle || other.bundle) dropped = true;
            }
        }
        if (!dropped) survivors.push_back(x);
    }

    // Each survivor goes after the last package already placed that it needs
    // or that conflicts with it, so that those are settled before it is. Only
    // the packages that bear a name it needs, or that name a name it bears,
    // can be such a package.
    positions_by_name dependable, conflicting;
    for (std::size_t x : survivors) {
        add_dependable_names(dependable, *list[x], x);
        add_conflicting_names(conflicting, *list[x], x);
    }
    std::vector<char> related(list.size(), 0);
    std::vector<std::size_t> placed;
    for (std::size_t x : survivors) {
        const package_description& candidate = *list[x];
        others.clear();
        gather_needed(dependable, candidate, others);
        conflicting.gather(candidate.name, others);
        for (const requirement& provision : candidate.provisions) conflicting.gather(provision.name, others);
        for (const auto& member : candidate.sub_packages) conflicting.gather(member->name, others);
        for (std::size_t y : others) related[y] = 1;
        std::size_t position = 0;
        if (!others.empty()) {
            for (std::size_t e = placed.size(); e > 0; --e) {
                if (!related[placed[e - 1]]) continue;
                const package_description& earlier = *list[placed[e - 1]];
                if (depends_on(candidate, earlier) || conflicts_with(earlier, candidate)) {
                    position = e;
                    break;
                }
            }
        }
        for (std::size_t y : others) related[y] = 0;
        placed.insert(placed.begin() + static_cast<std::ptrdiff_t>(position), x);
    }
    return placed;
}
