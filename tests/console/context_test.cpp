#include "console/context.h"

#include <gtest/gtest.h>

#include "platform/velnor_mode.h"
#include "support/captured_context.h"
#include "support/temp_root.h"

// The status line is redrawn in place and padded to the old length; a warning scrolls above it and redraws it, an error
// or info line erases and forgets it; the formatted part is cut at 255 characters; quiet prints and collects nothing.
TEST(ContextTest, ConsoleBytes) {
    captured_context c;
    const std::string hide = "\x1b[?25l", show = "\x1b[?25h", n300(300, 'n');
    const std::pair<std::function<void(installer_context&)>, std::string> steps[] = {
        {[](auto& ctx) { show_status(ctx, "abcdef"), show_status(ctx, "abcdef"); }, hide + "\rabcdef\r" + show},
        {[](auto& ctx) { show_status(ctx, "ab"); }, hide + "\rab    \r" + show},
        {[](auto& ctx) { report_warning(ctx, "package %s is %d days old", "net", 3); }, "\r" + std::string(79, ' ')
            + "\rWARNING: package net is 3 days old\nab"},
        {[](auto& ctx) { report_error(ctx, "could not read %s", "x.qpk"); }, hide + "\r  \r" + show
            + "ERROR: could not read x.qpk\n"},
        {[](auto& ctx) { show_status(ctx, "step"), report_info(ctx, "enabled %s", "net"); }, hide + "\rstep\r" + show
            + hide + "\r    \r" + show + "enabled net\n"},
        {[&](auto& ctx) { report_warning(ctx, "%s", n300.c_str()), report_info(ctx, "x%s", n300.c_str()); },
            "WARNING: " + n300.substr(0, 255) + "\nx" + n300.substr(0, 254) + "\n"},
        {[](auto& ctx) { ctx.quiet = true, show_status(ctx, "bar"), report_error(ctx, "e"), report_warning(ctx, "w"),
            report_info(ctx, "i"); }, ""},
    };
    for (const auto& [step, bytes] : steps) {
        step(c.ctx);
        EXPECT_EQ(c.take(), bytes);
    }
    EXPECT_EQ(c.ctx.messages, (std::vector<std::string>{"WARNING: package net is 3 days old",
        "ERROR: could not read x.qpk", "enabled net",
                                                       "WARNING: " + n300.substr(0, 255), "x" + n300.substr(0, 254)}));
    EXPECT_TRUE(c.ctx.status_line.empty());
}

// The context is made once; the flagged state is read once at start (not flagged on this host) and never refreshed. The
// post-install log: the messages appended, nothing written without any; once prepared, the complete lines of the old
// log carried over ahead of this run's messages and 4 KiB reserved, which the final write replaces.
TEST(ContextTest, OneContextAndThePostInstallLog) {
    temp_root root;
    EXPECT_EQ(run_in_child("", [] {
                  ql::VelnorMode mode;
                  mode.bytes[0] = 1;
                  ql::VelnorMode::set_for_testing(mode);
                  return &context() == &context() && context().packages.empty()
                      && ql::VelnorMode::load().bytes[0] == 1 && !flagged_state() ? 0 : 1;
              }).status, 0);
    for (const auto& [old_log, quiet, prepare, log] : {std::tuple{"ERROR: old one\nWARNING: old two\ncut sh", false,
        true, "ERROR: old one\nWARNING: old two\nWARNING: one\nERROR: two\n"},
                                                       {"", false, true, "WARNING: one\nERROR: two\n"},
                                                           {"WARNING: earlier\n", false, false,
                                                           "WARNING: earlier\nWARNING: one\nERROR: two\n"},
                                                       {"kept", true, false, "kept"}, {"ERROR: carried\n", true, true,
                                                           "ERROR: carried\n"}}) {
        root.write_file("/flash/postlog", old_log);
        EXPECT_EQ(run_in_child(root.path(), [&] {
                      captured_context t;
                      t.ctx.quiet = quiet;
                      report_warning(t.ctx, "one");
                      if (prepare) prepare_post_install_log(t.ctx);
                      const bool reserved = !prepare || read_host_file("/flash/postlog") == std::string(4096, '\0');
                      report_error(t.ctx, "two");
                      return write_post_install_log(t.ctx), reserved ? 0 : 1;
                  }).status, 0) << old_log;
        EXPECT_EQ(root.read_file("/flash/postlog"), log) << old_log;
    }
    ::unlink(root.host("/flash/postlog").c_str());
    EXPECT_EQ(run_in_child(root.path(), [] { return write_post_install_log(context()), 0; }).status
        + root.exists("/flash/postlog"), 0);
}
