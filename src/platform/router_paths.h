// Where things are on the router, and the package names that mean more than
// a package. Every layer that names one of them takes it from here, so that
// a path or a special name is spelled once.
#pragma once

#include <string>
#include <string_view>

// Everything the installer installs lives below /flash; only its markers and
// its lock live elsewhere.
constexpr const char* flash_root = "/flash";
constexpr const char* boot_mount = "/flash/boot";  // measured on its own when there is room to count
constexpr const char* boot_image_path = "/flash/bootimage";
constexpr const char* postlog_path = "/flash/postlog";
// The files of a package installed disabled, below this + its name.
constexpr const char* disabled_root = "/flash/x/";

// Whether path is flash_root + "/" + anything (that very prefix included).
inline bool is_below_flash(std::string_view path) {
    const std::string_view root = flash_root;
    return path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/';
}

// The package database: one record directory per installed package.
constexpr const char* database_directory = "/flash/var/pdb/";
// "/flash/var/pdb/" + name + "/".
inline std::string record_directory(const std::string& name) { return database_directory + name + "/"; }
// What keeps a run whole when it is killed or the power goes: the list of the
// temporary files a run stages on flash, and the journal of the changes it is
// applying. Their names begin with "." and are thus no package's.
constexpr const char* journal_path = "/flash/var/pdb/.journal";
constexpr const char* staged_list_path = "/flash/var/pdb/.staged";

// Where staged files wait in memory: /ram, or /tmp where there is no /ram.
constexpr const char* ram_directory = "/ram";
constexpr const char* tmp_directory = "/tmp";
// Other tools schedule actions in "/ram/pdb/" + name + "/schedule".
constexpr const char* schedule_directory = "/ram/pdb/";
constexpr const char* saved_manifest_path = "/ram/MANIFEST";
// The lock file. It lives in /ram: the lock has to outlive nothing but the
// run that holds it (the kernel releases it when that run ends, a kill or a
// crash included, and a power cut ends every run), so it has no business on
// flash, where it would cost a write per run and could not be created on a
// full flash, which is exactly when the operator must be able to cancel or
// uninstall. A lock file left by a killed run is harmless and goes with the
// next reboot.
constexpr const char* run_lock_path = "/ram/installer.lock";

// Markers: made by the installer for other tools, or left by them for it.
constexpr const char* changed_marker_path = "/flash/PCKGS_CHANGED";
constexpr const char* upgraded_marker_path = "/flash/UPGRADED";
constexpr const char* secure_marker_path = "/ram/SECURE";
constexpr const char* downgrade_marker_path = "/ram/DOWNGRADE";
constexpr const char* ignore_marker_path = "/rw/pckg/.download/IGNORE";

// The download directories, in the order they are searched, and where other
// tools place package images outside the database.
constexpr const char* download_directories[] = {"/rw/pckg/.download/", "/flash/rw/pckg/", "/flash/var/pckg/"};
constexpr const char* outside_image_directory = "/rw/pckg/.images/";

// Special package names. Branding may replace the installed branding at any
// version and marks the router upgraded; the base system is "system" or a
// package whose name begins with "velnor".
constexpr const char* branding_name = "branding";
constexpr const char* base_system_name = "system";
inline bool is_base_system(std::string_view name) { return name == base_system_name || name.starts_with("velnor"); }
// The packages that clean-up keeps whatever base system they were built for.
inline bool is_kept_by_clean_up(std::string_view name) {
    return name == "vigil" || name == "disk-drivers" || name == base_system_name;
}
