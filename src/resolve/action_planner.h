// Carrying out the scheduled uninstall, enable and disable actions. Requests
// are rarely consistent on their own: a disable may leave another package
// without its dependency, an enable may clash with an enabled package, the
// members of a bundle must follow the bundle. The planner first makes the
// scheduled actions of all records consistent by a fixed sequence of steps
// over the package list, then stages the result in a file manifest:
// uninstalls and disables first, enables second.
//
// Records are owned by the package list. An uninstall destroys its record at
// once, so a record pointer taken before apply_actions or remove_records may
// only be used afterwards when that record is still in the package list.
#pragma once

#include <vector>

#include "console/context.h"
#include "manifest/manifest.h"
#include "store/package.h"

// Records of a plan, owned by the package list.
using record_list = std::vector<package_record*>;

// Makes the scheduled actions consistent and fills the removal list (records
// to uninstall or disable) and the enable list, each in the order in which
// they are to be carried out; both lists are empty on entry. False when the
// plan would leave no package active: every scheduled action is then
// cleared, and "can not uninstall or disable all packages" is reported when
// report is set. Warnings about removals and enables that had to be
// cancelled are reported only when report is set.
bool plan_actions(installer_context& ctx, record_list& removal, record_list& enable, bool report);

// How much the planner tells while it carries out a plan: nothing; the
// progress and outcome of disables and enables; those of uninstalls too.
enum class planner_verbosity { quiet, disables_and_enables, everything };

// Plans the scheduled actions and stages them in the manifest. True when the
// plan was accepted and held anything to do. Warnings about the plan are
// reported unless the verbosity is quiet.
bool apply_actions(installer_context& ctx, file_manifest& manifest, planner_verbosity verbosity);

// Uninstalls or disables each record of a removal list, in order, by its
// scheduled action. An uninstalled record is taken out of the package list
// and destroyed, which is why the list is taken over. Records that are not
// (or no longer) in the package list are passed over.
void remove_records(installer_context& ctx, file_manifest& manifest, record_list&& list,
                    planner_verbosity verbosity);

// Enables each record of the list, in order.
void enable_records(installer_context& ctx, file_manifest& manifest, const record_list& list,
                    planner_verbosity verbosity);

// Whether any record of the package list is active after the plan.
bool any_active(const installer_context& ctx);
