// The action planner: installed packages with their states and schedule files, carried out by the real program in an
// upgrade run without download files.
#include "resolve/action_planner.h"

#include <gtest/gtest.h>

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

TEST(ActionPlannerTest, ScheduledActionsCarriedOutByAnUpgradeRun) {
    const std::string changed = "PCKGS_CHANGED=:600";
    scenario::check({
        {"the only package disabled", {"a /bin/a do=disable"}, {{}},
         "ERROR: can not uninstall or disable all packages\n", 0, "a-1.0", "bin/a=a-1.0"},
        {"a needed dependency stays", {"p >d", "d do=disable"}, {{}}, shown({"can not disable d-1.0: p depends on it"}),
         0, "d-1.0 p-1.0", ""},
        {"another provider", {"p >d", "d /bin/d do=uninstall", "e +d"}, {{}}, "", 0, "e-1.0 p-1.0", changed},
        {"a dependency enabled with its own", {"p >d", "d >e off", "e off"}, {{}}, shown({"+d-1.0", "+e-1.0"}), 0,
         "d-1.0 e-1.0 p-1.0", changed},
        {"an enabled package disables its conflicts", {"p !x !y", "x", "y off"}, {{}}, shown({"-x-1.0"}), 0,
         "p-1.0 x-1.0 off y-1.0 off", changed},
        {"an enable disables what it conflicts with", {"x !p off user do=enable", "p"}, {{}},
         shown({"-p-1.0", "+x-1.0"}), 0, "p-1.0 off x-1.0 user", changed},
        {"an enable disables what conflicts with it", {"x off do=enable", "p !x"}, {{}}, shown({"-p-1.0", "+x-1.0"}),
         0, "p-1.0 off x-1.0 user", changed},
        {"of two enables the one conflicted with gives way", {"p off do=enable", "x !p off do=enable"}, {{}},
         shown({"can not enable p: x-1.0 conflicts with it", "+x-1.0"}), 0, "p-1.0 off x-1.0 user", changed},
        {"a disabled orphan", {"keep", "p >d off /bin/p", "d do=uninstall /bin/d"}, {{}}, "", 0, "keep-1.0", changed},
        {"an enabled package keeps its disabled dependency", {"keep", "p >d", "d off do=uninstall"}, {{}},
         shown({"can not uninstall d-1.0: p depends on it", "-p-1.0"}), 0, "d-1.0 off keep-1.0 p-1.0 off", changed},
        {"a dependency nothing provides", {"keep", "p >none /bin/p"}, {{}}, "", 0, "keep-1.0", changed},
        // The bundle's image goes, so its disabled members come back as records without a description, to be
        // uninstalled next time.
        {"members follow the disable of their bundle", {"keep", "b do=disable {m1} {m2}"}, {{}},
         shown({"-m2-1.0", "-m1-1.0"}), 0, "keep-1.0 m1-0.0 off do=uninstall m2-0.0 off do=uninstall", changed},
        {"a bundle whose members all go", {"keep", "b off {m1 do=uninstall} {m2 do=uninstall}"}, {{}}, "", 0,
         "keep-1.0", changed},
        {"a bundle stays disabled", {"keep", "b off do=enable {m1 do=disable}"}, {{}}, shown({"-m1-1.0"}), 0,
         "b-1.0 off keep-1.0 m1-1.0 off user ^b", changed + " pdb/b/image"},
        {"members follow the enable of their bundle", {"b off user do=enable {m1 off} {m2 off}"}, {{}},
         shown({"+m1-1.0", "+m2-1.0", "+b-1.0"}), 0, "b-1.0 user m1-1.0 ^b m2-1.0 ^b", changed + " pdb/b/image"},
        {"disables in the reverse load order", {"keep", "x % do=disable", "z do=disable"}, {{}},
         shown({"-z-1.0", "-x-1.0"}), 0, "keep-1.0 x-1.0 off user z-1.0 off user", changed + " pdb/x/image"},
        {"two records of one name uninstalled", {"keep", "dup % do=uninstall"},
         {{{}, "", {{"/rw/pckg/.images/dup", line::file("dup")}}}}, "", 0, "keep-1.0",
         changed + " rw/pckg/.images/dup"},
        {"a redundant enable keeps what depends on it", {"p >d", "d do=enable"}, {{}}, shown({"+d-1.0"}), 0,
         "d-1.0 user p-1.0", changed},
        {"an uninstall leaves the files another record lists, and all outside flash",
         {"keep", "a /etc/shared /etc/a /../outside do=uninstall", "b /etc/shared"}, {{}}, "", 0, "b-1.0 keep-1.0",
         changed + " etc/shared=b-1.0 outside=a-1.0"},
        {"two uninstalls", {"keep", "a /etc/shared /etc/a do=uninstall", "b /etc/shared do=uninstall"}, {{}}, "", 0,
         "keep-1.0", changed},
        {"the boot package takes the boot image along", {"keep", "system #1 % do=uninstall"},
         {{{}, "", {{"/flash/bootimage", "b"}}}}, "", 0, "keep-1.0", changed},
        {"a bundle reference to itself", {"x off user do=enable ^x"}, {{}}, shown({"+x-1.0"}), 0,
         "x-1.0 user ^x do=uninstall", changed},
    });
}

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
            set_flagged_state_for_testing(flagged);
            installer_context ctx;
            for (const char* text : records) ctx.packages.push_back(line::object(text));
            file_manifest manifest;
            std::string out = apply_actions(ctx, manifest, 0) ? "applied:" : "refused:";
            for (const auto& p : ctx.packages) out.append(" ").append(line::text(*p));
            if (!flagged) {
                out += apply_actions(ctx, manifest, 0) ? " applied" : " nothing";
                for (const auto& p : ctx.packages) p->scheduled_action = action_disable;
                out += apply_actions(ctx, manifest, 0) ? " applied" : " refused";
            }
            cancel_manifest(manifest);
            return std::fputs(out.c_str(), stdout), 0;
        });
        EXPECT_EQ(r.out, left);
    }
}

}  // namespace
