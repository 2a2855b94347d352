// The action planner: installed packages with their states and schedule files, carried out by the real program in an
// upgrade run without download files.
#include "resolve/action_planner.h"

#include <gtest/gtest.h>

#include "platform/hardware.h"
#include "resolve/version.h"
#include "support/package_line.h"
#include "support/router_scenario.h"

namespace {

// What the run shows: "-NAME" disabled, "+NAME" enabled, anything else a warning.
std::string shown(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& s : lines) {
        const std::string name = s.substr(1);
        if (s[0] == '-') out += "> disabling " + name + "...\ndisabled " + name + "\n";
        else if (s[0] == '+') out += "> enabling " + name + "...\nenabled " + name + "\n";
        else out += "WARNING: " + s + "\n";
    }
    return out;
}

std::vector<scenario::row> scheduled_actions() {
    const std::string changed = "PCKGS_CHANGED=:600";
    return {
        {.what = "the only package disabled", .installed = {"a /bin/a do=disable"}, .steps = {{}},
         .screen = "ERROR: can not uninstall or disable all packages\n", .records = "a-1.0", .files = "bin/a=a-1.0"},
        {.what = "a needed dependency stays", .installed = {"p >d", "d do=disable"}, .steps = {{}},
         .screen = shown({"can not disable d-1.0: p depends on it"}), .records = "d-1.0 p-1.0"},
        {.what = "another provider", .installed = {"p >d", "d /bin/d do=uninstall", "e +d"}, .steps = {{}},
         .records = "e-1.0 p-1.0", .files = changed},
        {.what = "a dependency enabled with its own", .installed = {"p >d", "d >e off", "e off"}, .steps = {{}},
         .screen = shown({"+d-1.0", "+e-1.0"}), .records = "d-1.0 e-1.0 p-1.0", .files = changed},
        {.what = "an enabled package disables its conflicts", .installed = {"p !x !y", "x", "y off"}, .steps = {{}},
         .screen = shown({"-x-1.0"}), .records = "p-1.0 x-1.0 off y-1.0 off", .files = changed},
        {.what = "an enable disables what it conflicts with", .installed = {"x !p off user do=enable", "p"},
         .steps = {{}}, .screen = shown({"-p-1.0", "+x-1.0"}), .records = "p-1.0 off x-1.0 user", .files = changed},
        {.what = "an enable disables what conflicts with it", .installed = {"x off do=enable", "p !x"}, .steps = {{}},
         .screen = shown({"-p-1.0", "+x-1.0"}), .records = "p-1.0 off x-1.0 user", .files = changed},
        {.what = "of two enables the one conflicted with gives way",
         .installed = {"p off do=enable", "x !p off do=enable"}, .steps = {{}},
         .screen = shown({"can not enable p: x-1.0 conflicts with it", "+x-1.0"}), .records = "p-1.0 off x-1.0 user",
         .files = changed},
        {.what = "a disabled orphan", .installed = {"keep", "p >d off /bin/p", "d do=uninstall /bin/d"}, .steps = {{}},
         .records = "keep-1.0", .files = changed},
        {.what = "an enabled package keeps its disabled dependency",
         .installed = {"keep", "p >d", "d off do=uninstall"}, .steps = {{}},
         .screen = shown({"can not uninstall d-1.0: p depends on it", "-p-1.0"}),
         .records = "d-1.0 off keep-1.0 p-1.0 off", .files = changed},
        {.what = "a dependency nothing provides", .installed = {"keep", "p >none /bin/p"}, .steps = {{}},
         .records = "keep-1.0", .files = changed},
        // The bundle's image goes, so its disabled members come back as records without a description, to be
        // uninstalled next time.
        {.what = "members follow the disable of their bundle", .installed = {"keep", "b do=disable {m1} {m2}"},
         .steps = {{}}, .screen = shown({"-m2-1.0", "-m1-1.0"}),
         .records = "keep-1.0 m1-0.0 off do=uninstall m2-0.0 off do=uninstall", .files = changed},
        {.what = "a bundle whose members all go", .installed = {"keep", "b off {m1 do=uninstall} {m2 do=uninstall}"},
         .steps = {{}}, .records = "keep-1.0", .files = changed},
        {.what = "a bundle stays disabled", .installed = {"keep", "b off do=enable {m1 do=disable}"}, .steps = {{}},
         .screen = shown({"-m1-1.0"}), .records = "b-1.0 off keep-1.0 m1-1.0 off user ^b",
         .files = changed + " pdb/b/image"},
        {.what = "members follow the enable of their bundle", .installed = {"b off user do=enable {m1 off} {m2 off}"},
         .steps = {{}}, .screen = shown({"+m1-1.0", "+m2-1.0", "+b-1.0"}), .records = "b-1.0 user m1-1.0 ^b m2-1.0 ^b",
         .files = changed + " pdb/b/image"},
        {.what = "disables in the reverse load order", .installed = {"keep", "x % do=disable", "z do=disable"},
         .steps = {{}}, .screen = shown({"-z-1.0", "-x-1.0"}), .records = "keep-1.0 x-1.0 off user z-1.0 off user",
         .files = changed + " pdb/x/image"},
        {.what = "two records of one name uninstalled", .installed = {"keep", "dup % do=uninstall"},
         .steps = {{{}, "", {{"/rw/pckg/.images/dup", line::file("dup")}}}}, .records = "keep-1.0",
         .files = changed + " rw/pckg/.images/dup"},
        {.what = "a redundant enable keeps what depends on it", .installed = {"p >d", "d do=enable"}, .steps = {{}},
         .screen = shown({"+d-1.0"}), .records = "d-1.0 user p-1.0", .files = changed},
        {.what = "an uninstall leaves the files another record lists, and all outside flash",
         .installed = {"keep", "a /etc/shared /etc/a /../outside do=uninstall", "b /etc/shared"}, .steps = {{}},
         .records = "b-1.0 keep-1.0", .files = changed + " etc/shared=b-1.0 outside=a-1.0"},
        {.what = "two uninstalls",
         .installed = {"keep", "a /etc/shared /etc/a do=uninstall", "b /etc/shared do=uninstall"}, .steps = {{}},
         .records = "keep-1.0", .files = changed},
        {.what = "the boot package takes the boot image along", .installed = {"keep", "system #1 % do=uninstall"},
         .steps = {{{}, "", {{"/flash/bootimage", "b"}}}}, .records = "keep-1.0", .files = changed},
        {.what = "a bundle reference to itself", .installed = {"x off user do=enable ^x"}, .steps = {{}},
         .screen = shown({"+x-1.0"}), .records = "x-1.0 user ^x do=uninstall", .files = changed},
    };
}

SCENARIO_TABLE(ScheduledActionsCarriedOutByAnUpgradeRun, scheduled_actions());

// What only plans made in the program itself can show: which of two records of one name an uninstall takes out of
// the package list, that an enable dropped as superseded is not left to be planned again, that a plan refused is not
// reported at verbosity 0 (three plans of one run), and that an enable the filter drops (in flagged state only the
// latest build is enabled) disables nothing for its conflicts.
TEST(ActionPlannerTest, PlansMadeInTheProgram) {
    const std::tuple<std::vector<const char*>, bool, std::string> cases[] = {
        {{"dup", "dup-1.0.1 do=uninstall", "p off do=enable", "p-1.0.1 off do=enable"}, false,
         "applied: dup-1.0 p-1.0 off p-1.0.1 nothing refused"},
        {{"p off do=enable @100 !x", "q off do=enable @200", "x"}, true, "applied: p-1.0 @100 !x off q-1.0 @200 x-1.0"},
    };
    for (const auto& [records, flagged, left] : cases) {
        temp_root root;
        const run_result r = run_in_child(root.path(), [&] {
            platform::fake_hardware hw;
            hw.flagged = flagged;
            platform::set_hardware(&hw);
            installer_context ctx;
            for (const char* text : records) ctx.packages.add(line::object(text));
            file_manifest manifest;
            std::string out = apply_actions(ctx, manifest, planner_verbosity::quiet) ? "applied:" : "refused:";
            for (const auto& p : ctx.packages) out.append(" ").append(line::text(*p));
            if (!flagged) {
                out += apply_actions(ctx, manifest, planner_verbosity::quiet) ? " applied" : " nothing";
                for (const auto& p : ctx.packages) p->scheduled_action = action_disable;
                out += apply_actions(ctx, manifest, planner_verbosity::quiet) ? " applied" : " refused";
            }
            cancel_manifest(manifest);
            return std::fputs(out.c_str(), stdout), 0;
        });
        EXPECT_EQ(r.out, left);
    }
}

}  // namespace
