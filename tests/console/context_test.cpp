#include "console/context.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/velnor_mode.h"
#include "support/captured_context.h"
#include "support/child_check.h"
#include "support/temp_root.h"

namespace {

const std::string hide = "\x1b[?25l";
const std::string show = "\x1b[?25h";
const std::string erase_line = "\r" + std::string(79, ' ') + "\r";


TEST(ContextTest, StatusLineIsRedrawnInPlaceAndPaddedToTheOldLength) {
    captured_context c;
    show_status(c.ctx, "abcdef");
    EXPECT_EQ(c.take(), hide + "\rabcdef\r" + show);
    EXPECT_EQ(c.ctx.status_line, "abcdef");

    show_status(c.ctx, "abcdef");
    EXPECT_EQ(c.take(), "") << "the same text twice writes nothing";

    show_status(c.ctx, "ab");
    EXPECT_EQ(c.take(), hide + "\rab    \r" + show);

    show_status(c.ctx, "abcdefgh");
    EXPECT_EQ(c.take(), hide + "\rabcdefgh\r" + show);

    show_status(c.ctx, "");
    EXPECT_EQ(c.take(), hide + "\r        \r" + show);
    EXPECT_EQ(c.ctx.status_line, "");
    show_status(c.ctx, "");
    EXPECT_EQ(c.take(), "");
    EXPECT_TRUE(c.ctx.messages.empty());
}

TEST(ContextTest, WarningScrollsAboveTheStatusLineAndRedrawsIt) {
    captured_context c;
    show_status(c.ctx, "[====      ] 40%");
    c.take();
    report_warning(c.ctx, "package %s is %d days old", "net", 3);
    EXPECT_EQ(c.take(), erase_line + "WARNING: package net is 3 days old\n[====      ] 40%");
    EXPECT_EQ(c.ctx.status_line, "[====      ] 40%");

    // Without a status line there is nothing to erase or redraw.
    captured_context plain;
    report_warning(plain.ctx, "w");
    EXPECT_EQ(plain.take(), "WARNING: w\n");
    EXPECT_EQ(c.ctx.messages, std::vector<std::string>{"WARNING: package net is 3 days old"});
}

TEST(ContextTest, ErrorAndInfoEraseAndForgetTheStatusLine) {
    captured_context c;
    show_status(c.ctx, "bar");
    c.take();
    report_error(c.ctx, "could not read %s", "x.qpk");
    EXPECT_EQ(c.take(), hide + "\r   \r" + show + "ERROR: could not read x.qpk\n");
    EXPECT_EQ(c.ctx.status_line, "");

    show_status(c.ctx, "step");
    c.take();
    report_info(c.ctx, "enabled %s", "net");
    EXPECT_EQ(c.take(), hide + "\r    \r" + show + "enabled net\n");
    EXPECT_EQ(c.ctx.status_line, "");

    report_error(c.ctx, "second");
    EXPECT_EQ(c.take(), "ERROR: second\n");
    EXPECT_EQ(c.ctx.messages, (std::vector<std::string>{"ERROR: could not read x.qpk", "enabled net", "ERROR: second"}));
}

TEST(ContextTest, QuietPrintsAndCollectsNothing) {
    captured_context c;
    c.ctx.quiet = true;
    show_status(c.ctx, "bar");
    report_error(c.ctx, "e");
    report_warning(c.ctx, "w");
    report_info(c.ctx, "i");
    EXPECT_EQ(c.take(), "");
    EXPECT_TRUE(c.ctx.messages.empty());
    EXPECT_EQ(c.ctx.status_line, "");
}

TEST(ContextTest, FormattedPartIsCutAt255Characters) {
    captured_context c;
    const std::string long_name(300, 'n');
    report_warning(c.ctx, "%s", long_name.c_str());
    report_info(c.ctx, "x%s", long_name.c_str());
    ASSERT_EQ(c.ctx.messages.size(), 2u);
    EXPECT_EQ(c.ctx.messages[0], "WARNING: " + std::string(255, 'n'));
    EXPECT_EQ(c.ctx.messages[1], "x" + std::string(254, 'n'));
    EXPECT_EQ(c.take(), c.ctx.messages[0] + "\n" + c.ctx.messages[1] + "\n");
}

TEST(ContextTest, FindPackageTakesTheFirstRecordOfThatName) {
    installer_context ctx;
    for (const char* name : {"base", "net", "net"}) ctx.packages.push_back(new_package_record(name));
    ctx.packages[2]->version = 7;
    EXPECT_EQ(find_package_index(ctx, "net"), 1);
    EXPECT_EQ(find_package(ctx, "net"), ctx.packages[1].get());
    EXPECT_EQ(find_package_index(ctx, "nope"), -1);
    EXPECT_EQ(find_package(ctx, "nope"), nullptr);
}

TEST(ContextTest, TheContextIsCreatedOnceAndEmpty) {
    run_result r = run_in_child("", [] {
        child_checks checks;
        installer_context& ctx = context();
        CHILD_CHECK(checks, &ctx == &context());
        CHILD_CHECK(checks, ctx.architecture.empty() && ctx.status_line.empty() && ctx.packages.empty() &&
                                ctx.messages.empty() && !ctx.quiet);
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(ContextTest, FlaggedStateIsReadOnceAtStart) {
    run_result r = run_in_child("", [] {
        child_checks checks;
        // This host has no message service: the mode reads not flagged.
        CHILD_CHECK(checks, !flagged_state());
        ql::VelnorMode mode;
        mode.bytes[0] = 1;
        ql::VelnorMode::set_for_testing(mode);
        CHILD_CHECK_EQ(checks, int(ql::VelnorMode::load().bytes[0]), 1);
        CHILD_CHECK(checks, !flagged_state());  // never refreshed during a run
        set_flagged_state_for_testing(true);
        CHILD_CHECK(checks, flagged_state());
        set_flagged_state_for_testing(false);
        CHILD_CHECK(checks, !flagged_state());
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

// The post-install log lives at a fixed path: each case runs in a child that
// has changed root into its own temporary root.
class PostInstallLogTest : public ::testing::Test {
protected:
    temp_root root;

    // Runs body with a fresh context whose console goes to memory; the
    // rewrite flag starts clear as in a new process.
    run_result run(bool quiet, const std::function<void(installer_context&, child_checks&)>& body) {
        return run_in_child(root.path(), [&] {
            child_checks checks;
            captured_context c;
            c.ctx.quiet = quiet;
            set_post_install_log_rewrite_for_testing(false);
            body(c.ctx, checks);
            return checks.status();
        });
    }
};

TEST_F(PostInstallLogTest, PrepareCarriesCompleteLinesOverAndReservesRoom) {
    root.write_file("/flash/postlog", "ERROR: old one\nWARNING: old two\ncut sh");
    run_result r = run(false, [](installer_context& ctx, child_checks& checks) {
        report_warning(ctx, "before %s", "prepare");
        prepare_post_install_log(ctx);
        CHILD_CHECK(checks, post_install_log_rewrite());
        CHILD_CHECK_EQ(checks, ctx.messages.size(), 3u);
        CHILD_CHECK_EQ(checks, read_host_file("/flash/postlog"), std::string(4096, '\0'));
        report_error(ctx, "new %s", "one");
        write_post_install_log(ctx);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    // The rewrite truncates: the carried-over lines are among the messages.
    // The earlier run's lines stand ahead of everything this run reported.
    EXPECT_EQ(root.read_file("/flash/postlog"),
              "ERROR: old one\nWARNING: old two\nWARNING: before prepare\nERROR: new one\n");
}

TEST_F(PostInstallLogTest, PrepareWithoutAnOldLogReservesRoomOnly) {
    run_result r = run(false, [](installer_context& ctx, child_checks& checks) {
        prepare_post_install_log(ctx);
        CHILD_CHECK(checks, ctx.messages.empty());
        CHILD_CHECK_EQ(checks, read_host_file("/flash/postlog"), std::string(4096, '\0'));
        // Nothing reported: the rewrite still replaces the reserved zeros.
        write_post_install_log(ctx);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(root.exists("/flash/postlog"));
    EXPECT_EQ(root.read_file("/flash/postlog"), "");
}

TEST_F(PostInstallLogTest, WithoutPrepareMessagesAreAppended) {
    root.write_file("/flash/postlog", "WARNING: earlier\n");
    run_result r = run(false, [](installer_context& ctx, child_checks&) {
        report_warning(ctx, "one");
        report_info(ctx, "two");
        write_post_install_log(ctx);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(root.read_file("/flash/postlog"), "WARNING: earlier\nWARNING: one\ntwo\n");
}

TEST_F(PostInstallLogTest, NothingReportedAndNeverPreparedTouchesNothing) {
    run_result r = run(false, [](installer_context& ctx, child_checks&) { write_post_install_log(ctx); });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(root.exists("/flash/postlog"));

    root.write_file("/flash/postlog", "kept");
    r = run(true, [](installer_context& ctx, child_checks&) {
        report_error(ctx, "quiet errors are not collected");
        write_post_install_log(ctx);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(root.read_file("/flash/postlog"), "kept");
}

TEST_F(PostInstallLogTest, QuietRunThatPreparedRewritesTheCarriedLinesOnly) {
    root.write_file("/flash/postlog", "ERROR: carried\n");
    run_result r = run(true, [](installer_context& ctx, child_checks&) {
        prepare_post_install_log(ctx);
        report_error(ctx, "not collected");
        write_post_install_log(ctx);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(root.read_file("/flash/postlog"), "ERROR: carried\n");
}

}  // namespace
