// Installing a package or a bundle from a package stream, and the clean-up
// run. The planner reads what is offered, decides with the install check
// whether and how it goes in, carries over the state the user chose for an
// older version, replaces the installed version, hands the package to the
// store and lets the action planner settle conflicts and dependencies after
// every package. Nothing reaches flash here: every change is staged in the
// manifest, which the caller applies, saves or cancels.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <streambuf>
#include <string>

#include "console/context.h"
#include "manifest/manifest.h"
#include "store/package.h"
#include "stream/package_istream.h"

// Package name to disabled flag, for the states the user chose explicitly.
using user_set_states = std::map<std::string, bool>;

// Results of install_bundle and install_from_stream. A stream install exits
// with the number, so each keeps its value.
enum class install_result : int {
    ok = 0,
    failed = 1,   // unreadable, not installed, or the bundle record could not be written
    refused = 2,  // a bundle refused, a member failed, or the bundle did not end
    without_members = 3,
};

// Installs the package (or the packages of a bundle) that input holds. Every
// byte read from input is copied to tee when one is given. record_dir
// receives the record directory of an installed package that is to keep its
// package file as its image (empty when there is none); boot tells whether
// that image is to become the boot image.
install_result install_from_stream(installer_context& ctx, file_manifest& manifest, std::istream& input,
                                   std::uint32_t mask, const user_set_states& states, std::streambuf* tee,
                                   std::string* record_dir, bool* boot);

// Installs the package whose header is the stream's current part. A member
// of a bundle comes with its bundle's reference. The record that stands for
// the package afterwards (owned by the package list), or null when it was
// not installed.
package_record* install_one(installer_context& ctx, file_manifest& manifest, package_istream& stream,
                            std::uint32_t mask, const user_set_states& states, const requirement* bundle,
                            std::string* record_dir, bool* boot);

// Installs the bundle whose header is the stream's current part, member by
// member; the members of the old version that the new one lacks are
// uninstalled.
install_result install_bundle(installer_context& ctx, file_manifest& manifest, package_istream& stream,
                              std::uint32_t mask, const user_set_states& states, std::string* record_dir,
                              bool* boot);

// Stages the removal of the installed record of that name and drops it from
// the package list; false when there is none.
bool remove_installed(installer_context& ctx, file_manifest& manifest, const std::string& name);

// Uninstalls every stand-alone package that does not declare a dependency on
// "system" 3.22 or newer, except "vigil", "disk-drivers" and "system".
bool clean_up(installer_context& ctx, file_manifest& manifest);
