// The installer context: the one central state object of a run, and the
// console discipline built on it (one status line at the bottom, redrawn in
// place; messages that scroll above it and are kept for the post-install log).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "store/package_list.h"

struct installer_context {
    std::string architecture;
    package_list packages;
    std::string status_line;
    std::vector<std::string> messages;
    bool quiet = false;
    // The bundle whose members are being installed: until they are all in,
    // the action planner leaves it alone.
    const package_record* bundle_being_installed = nullptr;

    // Where console output goes; standard output in the program, a memory
    // stream in tests.
    std::FILE* out = stdout;
};

// The program's context, created on the first call and never destroyed.
installer_context& context();

void show_status(installer_context& ctx, const std::string& text);
void report_message(installer_context& ctx, const char* prefix, const char* format, std::va_list args);
void report_error(installer_context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report_warning(installer_context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report_info(installer_context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The first record named name, or null.
package_record* find_package(const installer_context& ctx, const std::string& name);

// Carries the lines of the previous /flash/postlog over into the messages and
// reserves room for the new log on flash.
void prepare_post_install_log(installer_context& ctx);
// Writes the collected messages to /flash/postlog.
void write_post_install_log(installer_context& ctx);
