#include "console/context.h"

#include <unistd.h>

#include "console/printable.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "platform/router_paths.h"

namespace {

bool g_log_rewrite = false;

void write_text(std::FILE* out, const std::string& text) { std::fwrite(text.data(), 1, text.size(), out); }

}  // namespace

installer_context& context() {
    static installer_context* ctx = new installer_context();
    return *ctx;
}

void show_status(installer_context& ctx, const std::string& raw_text) {
    // Status texts carry package names: they reach the terminal shown safe.
    const std::string text = printable(raw_text);
    if (ctx.quiet || text == ctx.status_line) return;
    std::string line = "\x1b[?25l\r";
    line += text;
    if (ctx.status_line.size() > text.size()) line.append(ctx.status_line.size() - text.size(), ' ');
    line += "\r\x1b[?25h";
    write_text(ctx.out, line);
    std::fflush(ctx.out);
    ctx.status_line = text;
}

void report_message(installer_context& ctx, const char* prefix, const char* format, std::va_list args) {
    char buffer[256];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    std::string message = prefix ? prefix : "";
    // The arguments may bring any byte along (names from package files, file
    // names from a download directory); the message goes to the console and
    // to the post-install log as one printable line.
    message += printable(buffer);
    if (ctx.quiet) return;
    bool has_status = !ctx.status_line.empty();
    if (has_status) {
        write_text(ctx.out, "\r" + std::string(79, ' ') + "\r");
        std::fflush(ctx.out);
    }
    write_text(ctx.out, message + "\n");
    if (has_status) {
        write_text(ctx.out, ctx.status_line);
        std::fflush(ctx.out);
    }
    ctx.messages.push_back(std::move(message));
}

void report_error(installer_context& ctx, const char* format, ...) {
    show_status(ctx, "");
    std::va_list args;
    va_start(args, format);
    report_message(ctx, "ERROR: ", format, args);
    va_end(args);
}

void report_warning(installer_context& ctx, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    report_message(ctx, "WARNING: ", format, args);
    va_end(args);
}

void report_info(installer_context& ctx, const char* format, ...) {
    show_status(ctx, "");
    std::va_list args;
    va_start(args, format);
    report_message(ctx, nullptr, format, args);
    va_end(args);
}

package_record* find_package(const installer_context& ctx, const std::string& name) {
    return ctx.packages.first_named(name);
}

void prepare_post_install_log(installer_context& ctx) {
    {
        regular_istream in(postlog_path);
        std::string line;
        std::vector<std::string> carried;
        // A last line without its line end was cut short and is dropped.
        while (in && std::getline(in, line) && !in.eof()) carried.push_back(line);
        // The earlier run's lines go ahead of what this run has reported so
        // far, so that the log stays in the order things happened.
        ctx.messages.insert(ctx.messages.begin(), carried.begin(), carried.end());
    }
    {
        regular_ostream out(postlog_path, false);
        if (out.is_open()) {
            static const char zeros[4096] = {};
            out.write(zeros, sizeof zeros);
        }
    }
    g_log_rewrite = true;
}

void write_post_install_log(installer_context& ctx) {
    if (!g_log_rewrite && ctx.messages.empty()) return;
    regular_ostream out(postlog_path, !g_log_rewrite);
    if (!out.is_open()) return;
    for (const std::string& message : ctx.messages) out << message << '\n';
    // The log alone is made lasting: a sync() would wait for every dirty
    // page of the machine.
    out.flush();
    flush_path(postlog_path);
}
