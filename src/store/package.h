// The package objects: what a package's own header parts say about it (the
// description), a package that is installed or being installed (the record),
// and a package file found in a download directory (the download record).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "store/path_set.h"

// An entry of a dependency, provision or conflict list, or a bundle
// reference. A minimum or maximum of 0 leaves that side unbounded.
struct requirement {
    std::string name;
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
    std::int32_t precedence = 0;

    bool operator==(const requirement&) const = default;
};

// Header flags of a package.
constexpr std::uint32_t header_flag_boot = 1;     // carries the boot image
constexpr std::uint32_t header_flag_no_meta = 2;  // no meta files are written

// Scheduled actions. The schedule files name them with the words of
// action_word; no number of theirs is stored anywhere.
enum class action_kind : std::uint8_t { none, uninstall, enable, disable };
inline constexpr action_kind action_none = action_kind::none;
inline constexpr action_kind action_uninstall = action_kind::uninstall;
inline constexpr action_kind action_enable = action_kind::enable;
inline constexpr action_kind action_disable = action_kind::disable;
const char* action_word(action_kind action);

// Version number and build time of a placeholder record.
constexpr std::uint32_t placeholder_value = 0xFFFFFFFF;

struct package_description {
    virtual ~package_description() = default;

    std::string name;
    std::uint32_t version = 0;
    std::uint32_t build_time = 0;
    std::uint32_t header_flags = 0;
    std::string text24;
    std::string architecture;
    std::string text2;
    std::string note;
    bool image = false;
    std::vector<requirement> dependencies;
    std::vector<requirement> provisions;
    std::vector<requirement> conflicts;
    bool bundle = false;
    // Members of a bundle as read from a download file, in file order.
    std::vector<std::unique_ptr<package_description>> sub_packages;

    bool is_placeholder() const { return version == placeholder_value && build_time == placeholder_value; }
    bool is_boot_package() const { return (header_flags & header_flag_boot) != 0; }
};

struct package_record : package_description {
    // Paths below /flash of the files the package installed, with a leading "/".
    path_set files;
    // The bundle the package belongs to; empty name when none.
    requirement bundle_reference;
    bool disabled = false;
    // The enabled or disabled state was chosen explicitly, not automatically.
    bool user_set = false;
    action_kind scheduled_action = action_none;
    // Installed in this run from a second-kind package file: it owns no
    // record directory and no meta or state files (those of its namesake's
    // record directory belong to the namesake).
    bool second_kind = false;
    // The record's `files` could not be read: which files it installed is
    // unknown, so uninstalling it must keep the record.
    bool file_list_unknown = false;
};

struct download_record : package_description {
    // Directory followed by the entry name, as the file was found.
    std::string path;
};

// A record made from a name alone: every other field empty, 0 or false.
std::unique_ptr<package_record> new_package_record(const std::string& name);
std::unique_ptr<download_record> new_download_record();
