#include "main/entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "console/context.h"
#include "console/package_table.h"
#include "console/printable.h"
#include "main/exit_status.h"
#include "main/own_root.h"
#include "main/query_modes.h"
#include "main/simulate.h"
#include "main/stream_install.h"
#include "main/upgrade_run.h"
#include "main/usage.h"
#include "manifest/journal.h"
#include "manifest/manifest.h"
#include "manifest/saved_manifest.h"
#include "platform/file_system.h"
#include "platform/router_paths.h"
#include "platform/run_lock.h"
#include "resolve/action_planner.h"
#include "resolve/check_flags.h"
#include "resolve/install_planner.h"
#include "store/repository.h"

namespace {


struct command_line {
    bool cleanup = false;
    bool from_stdin = false;
    bool quiet = false;
    bool show = false;
    std::uint32_t mask = check_newer;
    bool apply_now = true;
    bool reinstall = false;
    bool simulate = false;
    std::string root;
    query_options query;
};

// The saved manifest, without the lines that no run of the installer could
// have written: each is reported and left undone.
file_manifest load_saved_manifest(installer_context& ctx) {
    file_manifest manifest;
    load_manifest(manifest, saved_manifest_path);
    for (const manifest_entry& entry : remove_unsafe_entries(manifest))
        report_error(ctx, "refused manifest line: %s", printable(manifest_line(entry)).c_str());
    return manifest;
}

bool commit_saved_manifest(installer_context& ctx) {
    file_manifest manifest = load_saved_manifest(ctx);
    // The saved manifest goes with the run it describes, through the
    // journal: a commit stopped half-way is completed by the next run, and
    // none applies it twice.
    if (!is_empty(manifest)) stage_remove(manifest, saved_manifest_path);
    std::fputs("finishing install... ", stdout);
    std::fflush(stdout);
    const bool applied = apply_manifest(manifest, true);
    std::fputs("\b \n", stdout);
    std::fflush(stdout);
    if (!applied) report_error(ctx, "could not apply %s", saved_manifest_path);
    return applied;
}

// Whether a "--safe" run left changes that wait for "--commit" or
// "--cancel". A run that staged more on top would either be undone by the
// cancel or be overwritten by the commit of the older state.
bool saved_manifest_pending() {
    struct stat st;
    return ::stat(saved_manifest_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Whether a stopped run left work that the next run completes or undoes
// before it does anything else.
bool interrupted_run_waits() {
    struct stat st;
    return ::lstat(journal_path, &st) == 0 || (::lstat(staged_list_path, &st) == 0 && !saved_manifest_pending());
}

// Every run that may change anything holds the lock until it returns; a
// second one gives up after a few seconds, having changed nothing.
// A simulated run shares the lock: it waits for a run at work as any run
// does and keeps others out while it reads, but leaves no lock file.
bool lock_run(installer_context& ctx, run_lock& lock, bool shared = false) {
    if (shared ? lock.share(run_lock_path, run_lock_wait_milliseconds)
               : lock.acquire(run_lock_path, run_lock_wait_milliseconds))
        return true;
    if (lock.busy())
        report_error(ctx, "another installer run is in progress");
    else
        report_error(ctx, "could not lock %s", run_lock_path);
    return false;
}

void cancel_saved_manifest(installer_context& ctx) {
    file_manifest manifest = load_saved_manifest(ctx);
    // Every line reads back as a move, so the temporary files that a "--safe"
    // run staged are recognised by name and place and deleted here.
    delete_staged_sources(manifest);
    disk().unlink(saved_manifest_path);
    cancel_manifest(manifest);
}

// "-r" before "--commit" or "--cancel" means the manifest of that root:
// change into it as a run would. False when that fails, so that the
// manifest of the system the operator did not name is left alone. A caller
// that may not chroot (an image builder on a root it owns) goes on as root of
// a user namespace of its own.
bool enter_root(const std::string& root) {
    if (!root.empty() && ::chroot(root.c_str()) != 0 && !(errno == EPERM && chroot_as_own_root(root))) {
        std::perror("chroot");
        return false;
    }
    if (::chdir("/") != 0) {
        // nothing depends on it: every path the installer uses is absolute
    }
    return true;
}

// With a simulation nothing is applied, saved or logged: the simulation
// learns whether the run would change anything.
int upgrade_mode(installer_context& ctx, const command_line& options, simulation* simulated) {
    int result = exit_code(exit_status::success);
    file_manifest manifest;
    apply_actions(ctx, manifest, planner_verbosity::disables_and_enables);
    upgrade_run(ctx, manifest, options.mask);
    std::string unmeasured;
    if (!options.reinstall && !has_space_for(manifest, &unmeasured)) {
        // A root without /flash/boot or /flash has no room to measure: say which.
        if (unmeasured.empty()) report_error(ctx, "not enough space for upgrade");
        else report_error(ctx, "not enough space for upgrade: %s is missing", unmeasured.c_str());
        cancel_manifest(manifest);
        result = exit_code(exit_status::no_room);
    }
    if (!is_empty(manifest)) {
        disk_ostream marker;
        stage_new_file(marker, manifest, changed_marker_path, 1, 0);
        marker.close();
        if (simulated) {
            simulated->would_apply(manifest);
        } else if (options.apply_now) {
            if (!apply_manifest(manifest, false)) {
                report_error(ctx, "could not apply the changes of this run");
                result = exit_code(exit_status::failed);
            }
        } else if (!save_manifest(manifest, saved_manifest_path)) {
            // Without a saved manifest no later "--commit" or "--cancel"
            // could reach the staged files: the run is undone instead.
            report_error(ctx, "could not save %s", saved_manifest_path);
            cancel_manifest(manifest);
            result = exit_code(exit_status::failed);
        }
    }
    if (!simulated) write_post_install_log(ctx);
    return result;
}

}  // namespace

int installer_main(int argc, char** argv) {
    installer_context& ctx = context();
    command_line options;
    run_lock lock;

    // "-r ROOT" names the system a run is for wherever it stands, also after
    // an option that ends the parsing ("--cleanup -r /image" must clean up
    // that image, not the machine it runs on); the last one wins.
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-r") == 0) options.root = argv[++i];
    // "--simulate" anywhere makes the run one that changes nothing, also
    // where the parsing would not reach it: the operator asked for no change.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-r") == 0) ++i;
        else if (std::strcmp(argv[i], "--simulate") == 0) options.simulate = true;
    }

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--cleanup") == 0) {
            options.cleanup = true;
            break;
        } else if (std::strcmp(arg, "--safe") == 0) {
            options.apply_now = false;
        } else if (std::strcmp(arg, "-r") == 0 && i + 1 < argc) {
            ++i;  // taken above
        } else if (std::strcmp(arg, "-") == 0) {
            options.from_stdin = true;
            break;
        } else if (std::strcmp(arg, "-q") == 0) {
            options.quiet = true;
        } else if (std::strcmp(arg, "-down") == 0) {
            options.mask |= check_older;
        } else if (std::strcmp(arg, "--reinstall") == 0) {
            std::fputs("\nResuming upgrade...\n", stdout);
            std::fflush(stdout);
            options.mask |= check_same;
            options.reinstall = true;
        } else if (std::strcmp(arg, "-b") == 0 || std::strcmp(arg, "--force") == 0 ||
                   std::strcmp(arg, "--noupgrade") == 0 || std::strcmp(arg, "-i") == 0) {
            // accepted for compatibility; they change nothing
        } else if (std::strcmp(arg, "--simulate") == 0) {
            // taken above
        } else if (std::strcmp(arg, "--commit") == 0) {
            if (options.simulate) return print_usage(arg);
            if (!enter_root(options.root)) return exit_code(exit_status::failed);
            ctx.quiet = options.quiet;
            if (!lock_run(ctx, lock)) return exit_code(exit_status::busy);
            recover_interrupted_run(ctx);
            return exit_code(commit_saved_manifest(ctx) ? exit_status::success : exit_status::failed);
        } else if (std::strcmp(arg, "--cancel") == 0) {
            if (options.simulate) return print_usage(arg);
            if (!enter_root(options.root)) return exit_code(exit_status::failed);
            ctx.quiet = options.quiet;
            if (!lock_run(ctx, lock)) return exit_code(exit_status::busy);
            recover_interrupted_run(ctx);
            cancel_saved_manifest(ctx);
            return exit_code(exit_status::success);
        } else if (std::strcmp(arg, "--show") == 0) {
            options.show = true;
        } else if (take_query_option(argc, argv, i, options.query)) {
            // a query: nothing is written
        } else {
            return print_usage(arg);  // the usage line, or "--help" and "--version"
        }
    }

    const bool query = is_query(options.query, options.show);
    // A simulation is one of an upgrade run or a stream install.
    if (options.simulate && (options.cleanup || options.show || query)) return print_usage("--simulate");
    if (options.query.json && !query && !options.simulate) return print_usage("");

    // Going on in the old root would change the system the run was not
    // meant for.
    if (!enter_root(options.root)) return exit_code(exit_status::failed);

    // Every run that may change anything takes the lock before anything of
    // the database is read, so that no other run changes it under this one,
    // then completes what a stopped run left; the listing and the queries change nothing.
    ctx.quiet = options.quiet;
    if (options.simulate) {
        if (!lock_run(ctx, lock, true)) return exit_code(exit_status::busy);
        if (interrupted_run_waits())
            report_warning(ctx, "an interrupted run is completed first; the plan does not show it");
        if (saved_manifest_pending()) {
            report_error(ctx, "changes saved by an earlier run wait for --commit or --cancel");
            return exit_code(exit_status::saved_changes_wait);
        }
    } else if (!options.show && !query) {
        if (!lock_run(ctx, lock)) return exit_code(exit_status::busy);
        recover_interrupted_run(ctx);
        if (saved_manifest_pending()) {
            report_error(ctx, "changes saved by an earlier run wait for --commit or --cancel");
            return exit_code(exit_status::saved_changes_wait);
        }
    }

    const char* arch = std::getenv("arch");
    std::string architecture = arch ? arch : "i386";
    load_repository(ctx, options.quiet, architecture);

    if (is_query(options.query, options.show)) return run_query(ctx, options.query);
    if (options.show) {
        print_package_table(ctx);
        return exit_code(exit_status::success);
    }
    if (options.cleanup) {
        file_manifest manifest;
        clean_up(ctx, manifest);
        return exit_code(apply_manifest(manifest, false) ? exit_status::success : exit_status::failed);
    }
    if (options.simulate) {
        simulation simulated(ctx, options.query.json);
        return simulated.finish(options.from_stdin ? stream_install_mode(ctx, std::cin, options.mask, &simulated)
                                                   : upgrade_mode(ctx, options, &simulated));
    }
    if (options.from_stdin) return stream_install_mode(ctx, std::cin, options.mask);
    return upgrade_mode(ctx, options, nullptr);
}
