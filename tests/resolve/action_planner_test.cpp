// The action planner: installed packages with their states and schedule files, carried out by the real program in an
// upgrade run without download files.
#include "resolve/action_planner.h"

#include <gtest/gtest.h>

#include "resolve/version.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

namespace {

std::string disabled(const std::string& package) { return "> disabling " + package + "...\ndisabled " + package
    + "\n"; }
std::string enabled(const std::string& package) { return "> enabling " + package + "...\nenabled " + package + "\n"; }
std::string warning(const std::string& text) { return "WARNING: " + text + "\n"; }

TEST(ActionPlannerTest, ScheduledActionsCarriedOutByAnUpgradeRun) {
    scenario::check({
        {"nothing installed", {}, {{}}, "ERROR: router installation failed!!!\n", 0, "", ""},
        {"the only package disabled", {"a /bin/a do=disable"}, {{}},
         "ERROR: can not uninstall or disable all packages\n", 0, "a-1.0", "bin/a=a-1.0"},
        {"a needed dependency stays", {"p >d", "d do=disable"}, {{}},
         warning("can not disable d-1.0: p depends on it"), 0, "d-1.0 p-1.0", ""},
        {"another provider makes the uninstall harmless", {"p >d", "d /bin/d do=uninstall", "e +d"}, {{}}, "", 0,
         "e-1.0 p-1.0", "PCKGS_CHANGED=:600"},
        {"a disabled dependency is enabled with its own", {"p >d", "d >e off", "e off"}, {{}},
         enabled("d-1.0") + enabled("e-1.0"), 0, "d-1.0 e-1.0 p-1.0", "PCKGS_CHANGED=:600"},
        {"an enabled package disables what it conflicts with", {"p !x !y", "x", "y off"}, {{}}, disabled("x-1.0"), 0,
         "p-1.0 x-1.0 off y-1.0 off", "PCKGS_CHANGED=:600"},
        {"an enable disables the enabled package it conflicts with", {"x !p off user do=enable", "p"}, {{}},
         disabled("p-1.0") + enabled("x-1.0"), 0, "p-1.0 off x-1.0 user", "PCKGS_CHANGED=:600"},
        {"an enable disables the enabled package that conflicts with it", {"x off do=enable", "p !x"}, {{}},
         disabled("p-1.0") + enabled("x-1.0"), 0, "p-1.0 off x-1.0 user", "PCKGS_CHANGED=:600"},
        {"of two enables the one conflicted with gives way", {"p off do=enable", "x !p off do=enable"}, {{}},
         warning("can not enable p: x-1.0 conflicts with it") + enabled("x-1.0"), 0, "p-1.0 off x-1.0 user",
             "PCKGS_CHANGED=:600"},
        {"a disabled orphan is uninstalled", {"keep", "p >d off /bin/p", "d do=uninstall /bin/d"}, {{}}, "", 0,
         "keep-1.0", "PCKGS_CHANGED=:600"},
        {"an enabled package keeps its disabled dependency and is disabled", {"keep", "p >d", "d off do=uninstall"},
         {{}}, warning("can not uninstall d-1.0: p depends on it") + disabled("p-1.0"), 0,
         "d-1.0 off keep-1.0 p-1.0 off", "PCKGS_CHANGED=:600"},
        {"a dependency nothing provides", {"keep", "p >none /bin/p"}, {{}}, "", 0, "keep-1.0", "PCKGS_CHANGED=:600"},
        // The bundle's image goes, so its disabled members come back as records without a description, to be
        // uninstalled next time.
        {"members follow the disable of their bundle, which goes", {"keep", "b do=disable {m1} {m2}"}, {{}},
         disabled("m2-1.0") + disabled("m1-1.0"), 0, "keep-1.0 m1-0.0 off do=uninstall m2-0.0 off do=uninstall",
             "PCKGS_CHANGED=:600"},
        {"a bundle whose members all go", {"keep", "b off {m1 do=uninstall} {m2 do=uninstall}"}, {{}}, "", 0,
         "keep-1.0", "PCKGS_CHANGED=:600"},
        {"a bundle stays disabled when no member will be enabled", {"keep", "b off do=enable {m1 do=disable}"}, {{}},
         disabled("m1-1.0"), 0, "b-1.0 off keep-1.0 m1-1.0 off user ^b", "PCKGS_CHANGED=:600 pdb/b/image"},
        {"members follow the enable of their bundle", {"b off user do=enable {m1 off} {m2 off}"}, {{}},
         enabled("m1-1.0") + enabled("m2-1.0") + enabled("b-1.0"), 0, "b-1.0 user m1-1.0 ^b m2-1.0 ^b",
             "PCKGS_CHANGED=:600 pdb/b/image"},
        {"disables come in the reverse of the load order", {"keep", "x % do=disable", "z do=disable"}, {{}},
         disabled("z-1.0") + disabled("x-1.0"), 0, "keep-1.0 x-1.0 off user z-1.0 off user",
             "PCKGS_CHANGED=:600 pdb/x/image"},
        {"two records of one name uninstalled", {"keep", "dup % do=uninstall"},
         {{{}, "", {{"/rw/pckg/.images/dup", line::file("dup")}}}}, "", 0, "keep-1.0",
             "PCKGS_CHANGED=:600 rw/pckg/.images/dup"},
        {"a redundant enable keeps what depends on it", {"p >d", "d do=enable"}, {{}}, enabled("d-1.0"), 0,
         "d-1.0 user p-1.0", "PCKGS_CHANGED=:600"},
        {"an uninstall leaves the files another record lists, and all outside flash",
         {"keep", "a /etc/shared /etc/a /../outside do=uninstall", "b /etc/shared"}, {{}}, "", 0, "b-1.0 keep-1.0",
         "PCKGS_CHANGED=:600 etc/shared=b-1.0 outside=a-1.0"},
        {"two uninstalls", {"keep", "a /etc/shared /etc/a do=uninstall", "b /etc/shared do=uninstall"}, {{}}, "", 0,
         "keep-1.0", "PCKGS_CHANGED=:600"},
        {"the boot package takes the boot image along", {"keep", "system #1 % do=uninstall"},
         {{{}, "", {{"/flash/bootimage", "b"}}}}, "", 0, "keep-1.0", "PCKGS_CHANGED=:600"},
        {"a bundle reference to itself", {"x off user do=enable ^x"}, {{}}, enabled("x-1.0"), 0,
         "x-1.0 user ^x do=uninstall", "PCKGS_CHANGED=:600"},
    });
}
// What only plans made in the program itself can show: which of two records of one name an uninstall takes out of
// the package list, that an enable dropped as superseded is not left to be planned again, that a plan refused is not
// reported at verbosity 0 (three plans of one run), and that an enable the filter drops (in flagged state only the
// latest build is enabled) disables nothing for its conflicts.
TEST(ActionPlannerTest, PlansMadeInTheProgram) {
    const struct {
        std::vector<const char*> records;
        bool flagged;
        std::string left;
    } cases[] = {
        {{"dup", "dup-1.0.1 do=uninstall", "p off do=enable", "p-1.0.1 off do=enable"}, false,
         "applied: dup-1.0 p-1.0 off p-1.0.1 nothing refused"},
        {{"p off do=enable @100 !x", "q off do=enable @200", "x"}, true, "applied: p-1.0 @100 !x off q-1.0 @200 x-1.0"},
    };
    for (const auto& c : cases) {
        temp_root root;
        const run_result r = run_in_child(root.path(), [&] {
            set_flagged_state_for_testing(c.flagged);
            installer_context ctx;
            for (const char* text : c.records) ctx.packages.push_back(line::object(text));
            file_manifest manifest;
            std::string left = apply_actions(ctx, manifest, 0) ? "applied:" : "refused:";
            for (const auto& p : ctx.packages) left += " " + line::text(*p);
            if (!c.flagged) {
                left += apply_actions(ctx, manifest, 0) ? " applied" : " nothing";
                for (const auto& p : ctx.packages) p->scheduled_action = action_disable;
                left += apply_actions(ctx, manifest, 0) ? " applied" : " refused";
            }
            cancel_manifest(manifest);
            return std::fputs(left.c_str(), stdout), 0;
        });
        EXPECT_EQ(r.out, c.left);
    }
}

}  // namespace
