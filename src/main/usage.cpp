#include "main/usage.h"

#include <cstdio>
#include <cstring>

#include "main/exit_status.h"

namespace {

constexpr const char* usage_line = "usage: installer [-q] [-r <root>] [-]\n";

constexpr const char* help_text =
    "Installs, upgrades, downgrades, uninstalls, enables and disables signed\n"
    "packages (.qpk, .vpk) on the router; every run is applied whole or not at all.\n"
    "Without -, --show or --cleanup a run is an upgrade: the scheduled actions,\n"
    "then the packages of the first download directory that holds any.\n"
    "\n"
    "options:\n"
    "  -r <root>      run on the root directory <root> instead of /\n"
    "  -              install one package or bundle read from standard input\n"
    "  -q             quiet: no status line and no messages\n"
    "  -down          allow downgrades\n"
    "  --reinstall    install the installed versions again; no space check\n"
    "  --safe         save the changes to /ram/MANIFEST instead of applying them\n"
    "  --commit       apply the changes saved in /ram/MANIFEST\n"
    "  --cancel       discard the changes saved in /ram/MANIFEST\n"
    "  --show         print the package table\n"
    "  --files NAME   print the files of the installed package NAME\n"
    "  --owner PATH   print the packages that installed PATH\n"
    "  --audit [NAME] check the installed files (of every package): missing, changed\n"
    "                 content or mode, unreadable, and files beside them that no\n"
    "                 package lists; exit status 1 when anything is found\n"
    "  --simulate     decide all that an upgrade run (or with -, an install from\n"
    "                 standard input) would, change nothing, and print the plan:\n"
    "                 install, upgrade, downgrade, uninstall, enable, disable, and\n"
    "                 refused with the reason; the exit status is the run's\n"
    "  --json         with --show, --files, --owner, --audit or --simulate: print JSON\n"
    "  --cleanup      uninstall the packages not built for the installed base system\n"
    "  --help         print this text\n"
    "  --version      print the version\n"
    "  -b, --force, --noupgrade, -i   accepted and ignored\n"
    "\n"
    "files (inside the root):\n"
    "  /flash/var/pdb/NAME/       package database: a record directory per package\n"
    "  /flash/var/pdb/NAME/digests  CRC-32 and mode of each file, for --audit\n"
    "  /rw/pckg/.download/        download directories, tried in this order;\n"
    "  /flash/rw/pckg/              the first that holds a package file is used\n"
    "  /flash/var/pckg/\n"
    "  /rw/pckg/.download/IGNORE  skip /rw/pckg/.download/\n"
    "  /ram/DOWNGRADE             allow downgrades, down to the version it holds\n"
    "  /ram/pdb/NAME/schedule     uninstall, enable or disable, set by another tool\n"
    "  /ram/SECURE                require a level-2 signature of every package\n"
    "  /ram/MANIFEST              changes saved by --safe\n"
    "  /flash/boot, /flash        must keep more than 16 free blocks after a run\n"
    "  /flash/bootimage           boot image\n"
    "  /flash/postlog             messages of the runs that installed packages\n"
    "  /flash/PCKGS_CHANGED       made by a run that changed anything\n"
    "  /flash/UPGRADED            made by installing the boot package or branding\n"
    "\n"
    "environment:\n"
    "  arch           the router's architecture (default i386)\n"
    "  bootimage      set: the boot package's image becomes /flash/bootimage\n"
    "\n"
    "exit status:\n"
    "  0    done (also for the usage line, --help and --version)\n"
    "  1    the root could not be entered, /ram/MANIFEST could not be saved or\n"
    "       applied, the package on standard input could not be read or\n"
    "       installed, changes saved with --safe still wait for --commit or\n"
    "       --cancel, or a query found nothing or found a problem\n"
    "  2    the package on standard input was refused\n"
    "  3    the bundle on standard input has no members\n"
    "  16   another run holds /ram/installer.lock; nothing was changed\n"
    "  28   not enough space on flash for the upgrade (or /flash/boot or /flash\n"
    "       missing); nothing was changed\n"
    "  255  the copy of standard input could not be created in /flash/var/pdb\n";

}  // namespace

int print_usage(const char* option) {
    if (std::strcmp(option, "--version") == 0) {
        std::printf("installer %s\n", INSTALLER_VERSION);
    } else {
        std::fputs(usage_line, stdout);
        if (std::strcmp(option, "--help") == 0) std::fputs(help_text, stdout);
    }
    std::fflush(stdout);
    return exit_code(exit_status::success);
}
