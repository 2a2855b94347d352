#include "console/context.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/progress.h"
#include "stream/package_bytes.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/limited_run.h"

// The status line is redrawn in place and padded to the old length; a warning scrolls above it and redraws it, an error
// or info line erases and forgets it; the formatted part is cut at 255 characters; control bytes show as "?" (UTF-8
// stays as it is); quiet prints and collects nothing.
TEST(ContextTest, ConsoleBytes) {
    captured_context c;
    const std::string hide = "\x1b[?25l", show = "\x1b[?25h", n300(300, 'n'), n255(255, 'n'), n254(254, 'n'),
                      blanks(79, ' ');
    const std::pair<std::function<void(installer_context&)>, std::string> steps[] = {
        {[](auto& ctx) { show_status(ctx, "abcdef"), show_status(ctx, "abcdef"); }, hide + "\rabcdef\r" + show},
        {[](auto& ctx) { show_status(ctx, "ab"); }, hide + "\rab    \r" + show},
        {[](auto& ctx) { report_warning(ctx, "package %s is %d days old", "net", 3); },
         "\r" + blanks + "\rWARNING: package net is 3 days old\nab"},
        {[](auto& ctx) { report_error(ctx, "could not read %s", "x.qpk"); },
         hide + "\r  \r" + show + "ERROR: could not read x.qpk\n"},
        {[](auto& ctx) { show_status(ctx, "step"), report_info(ctx, "enabled %s", "net"); },
         hide + "\rstep\r" + show + hide + "\r    \r" + show + "enabled net\n"},
        {[&](auto& ctx) { report_warning(ctx, "%s", n300.c_str()), report_info(ctx, "x%s", n300.c_str()); },
         "WARNING: " + n255 + "\nx" + n254 + "\n"},
        {[](auto& ctx) { show_status(ctx, "\t\x1b]0;t\a\xc3\xa9"), report_error(ctx, "a %s", "\r\x7f"); },
         hide + "\r??]0;t?\xc3\xa9\r" + show + hide + "\r         \r" + show + "ERROR: a ??\n"},
        {[](auto& ctx) { ctx.quiet = true, show_status(ctx, "s"), report_error(ctx, "e"), report_info(ctx, "i"); }, ""},
    };
    for (const auto& [step, bytes] : steps) {
        step(c.ctx);
        EXPECT_EQ(c.take(), bytes);
    }
    const std::vector<std::string> messages = {"WARNING: package net is 3 days old", "ERROR: could not read x.qpk",
                                               "enabled net", "WARNING: " + n255,
                                               "x" + n254, "ERROR: a ??"};
    EXPECT_EQ(c.ctx.messages, messages);
    EXPECT_TRUE(c.ctx.status_line.empty());
}

// The post-install log: the messages appended, nothing written without any; once prepared, the complete lines of the
// old log carried over ahead of this run's messages and 4 KiB reserved, which the final write replaces; a FIFO in its
// place ("|") is neither waited for nor written. Control bytes in messages are shown as "?" there as on the console.
TEST(ContextTest, PostInstallLog) {
    const std::string run = "WARNING: one\nERROR: two ?[2J?a?\n";
    const std::tuple<std::string, bool, bool, std::string> logs[] = {
        {"ERROR: old one\nWARNING: old two\ncut sh", false, true, "ERROR: old one\nWARNING: old two\n" + run},
        {"", false, true, run},
        {"WARNING: earlier\n", false, false, "WARNING: earlier\n" + run},
        {"kept", true, false, "kept"},
        {"ERROR: carried\n", true, true, "ERROR: carried\n"},
        {"|", false, true, "|"},
        {"none", false, false, ""},
    };
    for (const auto& [old_log, quiet, prepare, log] : logs) {
        temp_root root;
        if (old_log == "|") ::mkfifo(root.host("/flash/postlog").c_str(), 0644);
        else if (old_log != "none") root.write_file("/flash/postlog", old_log);
        const run_result r = run_limited(root.path(), [&] {
            captured_context t;
            t.ctx.quiet = quiet;
            if (old_log != "none") report_warning(t.ctx, "one");
            if (prepare) prepare_post_install_log(t.ctx);
            const bool fifo = old_log == "|";
            const bool reserved = !prepare || fifo || read_host_file("/flash/postlog") == std::string(4096, '\0');
            if (old_log != "none") report_error(t.ctx, "two %s", "\x1b[2J\na\x7f");
            write_post_install_log(t.ctx);
            return reserved ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0) << old_log;
        const std::vector<std::string> left(log.empty() ? 0 : 1, old_log == "|" ? " (fifo)" : " = " + log);
        EXPECT_EQ(snapshot(root.host("/flash/postlog")), left) << old_log;
    }
}

// 77 characters whatever the prefix (a 64-bit product rounded down, never a negative count); the position is what the
// stream consumed of the file, also after a read ran into the part's end; the same bar twice writes nothing.
TEST(ProgressTest, BarOfTheBytesConsumed) {
    const std::string p20(20, 'p');
    const std::tuple<std::string, std::uint32_t, std::uint32_t, int, int> bars[] = {
        {p20, 50, 100, 27, 27}, {"p", 1, 3, 24, 49}, {"p", 0xFFFFFFF0u, 0xFFFFFFFFu, 72, 1}, {"p", 200, 100, 73, 0},
        {"p", 5, 0, 73, 0}, {std::string(80, 'x'), 5, 10, 0, 0},
    };
    for (const auto& [prefix, position, total, hashes, blanks] : bars)
        EXPECT_EQ(progress_text(prefix, position, total),
                  prefix + " [" + std::string(hashes, '#') + std::string(blanks, ' ') + "]");
    const std::string parts = test_bytes::part(1, std::string(36, 'h')) + test_bytes::part(23, std::string(194, 'n'));
    std::istringstream source(test_bytes::file(parts));  // 250 bytes
    package_istream stream(source, true);
    stream.wanted_types = {1, 23};
    captured_context c;
    const auto bar = [&](std::uint32_t consumed) {
        show_progress(c.ctx, stream, p20);
        const std::size_t written = c.all().size();
        show_progress(c.ctx, stream, p20);
        return c.all().size() == written && c.ctx.status_line == progress_text(p20, consumed, 250);
    };
    std::string text(300, '\0');
    EXPECT_TRUE(stream.next_part() == 1 && bar(14) && stream.next_part() == 23 && stream.read(text.data(), 112)
                && bar(168));
    EXPECT_TRUE(stream.read(text.data(), 300).fail() && bar(250));
    EXPECT_EQ(c.ctx.status_line, p20 + " [" + std::string(54, '#') + "]");
}
