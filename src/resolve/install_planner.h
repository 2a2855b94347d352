// Installing a package or a bundle from a package stream, and the clean-up run.
#pragma once

#include <istream>
#include <map>
#include <streambuf>
#include <string>

#include "console/context.h"
#include "manifest/manifest.h"

// Package name to disabled flag, for the states the user chose explicitly.
using user_set_states = std::map<std::string, bool>;

// 0 when the package (or bundle) was installed.
int install_from_stream(installer_context& ctx, file_manifest& manifest, std::istream& input, std::uint32_t mask,
                        const user_set_states& states, std::streambuf* tee, std::string* record_dir, bool* boot);

bool clean_up(installer_context& ctx, file_manifest& manifest);
