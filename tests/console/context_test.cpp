#include "console/context.h"

#include <gtest/gtest.h>

#include "platform/velnor_mode.h"
#include "support/captured_context.h"
#include "support/child_check.h"
#include "support/temp_root.h"

namespace {

const std::string hide = "\x1b[?25l", show = "\x1b[?25h", erase = "\r" + std::string(79, ' ') + "\r";

}  // namespace

// The status line is redrawn in place and padded to the old length; a warning scrolls above it and redraws it, an error or info
// line erases and forgets it; the formatted part is cut at 255 characters; quiet prints and collects nothing.
TEST(ContextTest, ConsoleBytes) {
    captured_context c;
    const std::string n300(300, 'n');
    const struct {
        std::function<void(installer_context&)> step;
        std::string bytes, status;
    } steps[] = {
        {[](auto& ctx) { show_status(ctx, "abcdef"); }, hide + "\rabcdef\r" + show, "abcdef"},
        {[](auto& ctx) { show_status(ctx, "abcdef"); }, "", "abcdef"},
        {[](auto& ctx) { show_status(ctx, "ab"); }, hide + "\rab    \r" + show, "ab"},
        {[](auto& ctx) { report_warning(ctx, "package %s is %d days old", "net", 3); }, erase + "WARNING: package net is 3 days old\nab", "ab"},
        {[](auto& ctx) { report_error(ctx, "could not read %s", "x.qpk"); }, hide + "\r  \r" + show + "ERROR: could not read x.qpk\n", ""},
        {[](auto& ctx) { show_status(ctx, "step"); }, hide + "\rstep\r" + show, "step"},
        {[](auto& ctx) { report_info(ctx, "enabled %s", "net"); }, hide + "\r    \r" + show + "enabled net\n", ""},
        {[](auto& ctx) { show_status(ctx, ""); }, "", ""},
        {[&](auto& ctx) { report_warning(ctx, "%s", n300.c_str()); }, "WARNING: " + n300.substr(0, 255) + "\n", ""},
        {[&](auto& ctx) { report_info(ctx, "x%s", n300.c_str()); }, "x" + n300.substr(0, 254) + "\n", ""},
        {[](auto& ctx) { ctx.quiet = true, show_status(ctx, "bar"), report_error(ctx, "e"), report_warning(ctx, "w"), report_info(ctx, "i"); }, "", ""},
    };
    for (const auto& s : steps) {
        s.step(c.ctx);
        EXPECT_EQ(c.take(), s.bytes);
        EXPECT_EQ(c.ctx.status_line, s.status);
    }
    EXPECT_EQ(c.ctx.messages, (std::vector<std::string>{"WARNING: package net is 3 days old", "ERROR: could not read x.qpk", "enabled net",
                                                       "WARNING: " + n300.substr(0, 255), "x" + n300.substr(0, 254)}));
    for (const char* name : {"base", "net", "net"}) c.ctx.packages.push_back(new_package_record(name));
    EXPECT_EQ(find_package_index(c.ctx, "net"), 1);
    EXPECT_EQ(find_package(c.ctx, "net"), c.ctx.packages[1].get());
    EXPECT_EQ(find_package_index(c.ctx, "nope"), -1);
    EXPECT_EQ(find_package(c.ctx, "nope"), nullptr);
}

// The context is made once, empty; the flagged state is read once at start (this host has no message service: not flagged) and
// never refreshed.
TEST(ContextTest, OneContextAndTheFlaggedStateOfTheStart) {
    run_result r = run_in_child("", [] {
        child_checks checks;
        installer_context& ctx = context();
        CHILD_CHECK(checks, &ctx == &context() && ctx.architecture.empty() && ctx.packages.empty() && !ctx.quiet && ctx.out == stdout);
        CHILD_CHECK(checks, !flagged_state());
        ql::VelnorMode mode;
        mode.bytes[0] = 1;
        ql::VelnorMode::set_for_testing(mode);
        CHILD_CHECK_EQ(checks, int(ql::VelnorMode::load().bytes[0]), 1);
        CHILD_CHECK(checks, !flagged_state());
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

// The post-install log: without preparing, the messages are appended (and nothing at all is written without any); preparing
// carries the complete lines of the old log over ahead of this run's messages and reserves 4 KiB, which the final write replaces.
TEST(ContextTest, PostInstallLog) {
    const struct {
        const char* old_log;  // null: none
        bool quiet, prepare;
        std::vector<const char*> reported;
        const char* log;  // null: none written
    } cases[] = {
        {"ERROR: old one\nWARNING: old two\ncut sh", false, true, {"before", "-", "new"},
         "ERROR: old one\nWARNING: old two\nWARNING: before\nERROR: new\n"},
        {nullptr, false, true, {}, ""},
        {"WARNING: earlier\n", false, false, {"one", "two"}, "WARNING: earlier\nWARNING: one\nWARNING: two\n"},
        {nullptr, false, false, {}, nullptr},
        {"kept", true, false, {"-", "quiet"}, "kept"},
        {"ERROR: carried\n", true, true, {"-", "quiet"}, "ERROR: carried\n"},
    };
    for (const auto& c : cases) {
        temp_root root;
        if (c.old_log) root.write_file("/flash/postlog", c.old_log);
        run_result r = run_in_child(root.path(), [&] {
            captured_context t;
            t.ctx.quiet = c.quiet;
            set_post_install_log_rewrite_for_testing(false);
            bool errors = false;
            for (const char* message : c.reported) {
                if (*message == '-') {
                    if (c.prepare) prepare_post_install_log(t.ctx);
                    errors = true;
                    if (post_install_log_rewrite() && read_host_file("/flash/postlog") != std::string(4096, '\0')) return 1;
                } else {
                    errors ? report_error(t.ctx, "%s", message) : report_warning(t.ctx, "%s", message);
                }
            }
            if (c.prepare && c.reported.empty()) prepare_post_install_log(t.ctx);
            write_post_install_log(t.ctx);
            return 0;
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(root.exists("/flash/postlog"), c.log != nullptr) << (c.old_log ? c.old_log : "");
        if (c.log) { EXPECT_EQ(root.read_file("/flash/postlog"), c.log); }
    }
}
