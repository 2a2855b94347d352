// The rules that decide whether an offered package may be installed, which of
// several offered packages wins and in which order they are handled, and the
// two relations the action planner builds on. They change nothing in the
// package database: their effects are check flags, the content and order of a
// list handed in, and messages through the installer context.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "console/context.h"
#include "resolve/check_flags.h"
#include "store/package.h"

// The minimum of filter_candidates that switches downgrade mode off.
constexpr std::uint32_t no_minimum_version = 0xFFFFFFFF;

// Results of candidate_status.
constexpr int candidate_active = 0;    // some candidate is, or will be, active
constexpr int candidate_none = 1;      // nothing is left to satisfy the requirement
constexpr int candidate_inactive = 3;  // only disabled (or being disabled) candidates

// a needs b: one of a's dependencies is matched or provided by b or by one of
// b's sub-packages, or one of a's sub-packages needs b.
bool depends_on(const package_description& a, const package_description& b);

// a conflicts with b. Not symmetric: callers that care ask both ways. When one
// package provides the other's name, or both provide one name, the
// precedences of those provisions decide, and nothing after that is asked.
bool conflicts_with(const package_description& a, const package_description& b);

// The installed records, in package-list order, that match or provide req;
// placeholders never, disabled records only when include_disabled is set.
std::vector<package_record*> collect_candidates(const installer_context& ctx, const requirement& req,
                                                bool include_disabled);

// A record that will be enabled once the scheduled actions are carried out:
// it is being enabled, or it is enabled and nothing is to change that.
inline bool active_after_plan(const package_record& record) {
    return record.scheduled_action == action_enable || (record.scheduled_action == action_none && !record.disabled);
}

// candidate_active, candidate_none or candidate_inactive for the candidates
// of one requirement, judged by what they will be once the scheduled actions
// are carried out.
int candidate_status(const std::vector<package_record*>& candidates);

// Check flags of an offered package against the installed set. A flag whose
// bit is in mask is acceptable to the caller and gets no message; of the
// others only the first gets one.
std::uint32_t install_check(installer_context& ctx, const package_description& package, std::uint32_t mask);

// The first record, in package-list order, that is not disabled and
// conflicts with the package.
package_record* find_enabled_conflict(const installer_context& ctx, const package_description& package);

// The record that stands for a name (its own or a provided one): the first
// such record that is not disabled, else the last disabled one, else null.
package_record* find_provider(const installer_context& ctx, const std::string& name);

// The work of filter_candidates on a read-only view: the indices into list of
// the packages that survive, in their new order.
std::vector<std::size_t> filter_candidate_order(installer_context& ctx,
                                                const std::vector<const package_description*>& list,
                                                std::uint32_t minimum, bool report);

// Drops the superseded packages of list and orders the survivors so that
// each comes after the packages it depends on and those that conflict with
// it. A minimum other than no_minimum_version switches on downgrade mode:
// packages below it are refused, and of two related packages the older wins.
//
// list is a vector of pointers to any package object (download records while
// choosing what to install, package records while enabling), which is edited
// in place; the objects are not owned and never changed. When every element
// is dropped the list comes back empty.
template <typename T>
    requires std::derived_from<std::remove_const_t<T>, package_description>
void filter_candidates(installer_context& ctx, std::vector<T*>& list, std::uint32_t minimum, bool report) {
    std::vector<const package_description*> view(list.begin(), list.end());
    std::vector<std::size_t> order = filter_candidate_order(ctx, view, minimum, report);
    std::vector<T*> result;
    result.reserve(order.size());
    for (std::size_t index : order) result.push_back(list[index]);
    list = std::move(result);
}
