// Messages and the status line with arguments that hold control bytes, as
// names from package files and download file names may: the console and
// the post-install log get the same printable line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "console/context.h"
#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/limited_run.h"

namespace {

struct message_case {
    const char* title;
    std::string argument;
    std::string shown;
};

}  // namespace

TEST(HostileMessagesTest, ControlBytesAreShownAsQuestionMarks) {
    const message_case cases[] = {
        {"line end forging a log line", "a.qpk\nERROR: forged", "a.qpk?ERROR: forged"},
        {"escape sequence", "\x1b[2J\x1b]0;title\a", "?[2J?]0;title?"},
        {"carriage return, tab and DEL", "a\rb\tc\x7f", "a?b?c?"},
        {"printable text and UTF-8", "caf\xc3\xa9 ~!", "caf\xc3\xa9 ~!"},
    };
    for (const message_case& c : cases) {
        temp_root root;
        run_result r = run_limited(root.path(), [&] {
            captured_context t;
            prepare_post_install_log(t.ctx);
            show_status(t.ctx, c.argument);
            report_error(t.ctx, "broken package %s", c.argument.c_str());
            write_post_install_log(t.ctx);
            std::fputs((t.all() + "|" + read_host_file("/flash/postlog")).c_str(), stdout);
            return 0;
        });
        const std::string line = "ERROR: broken package " + c.shown + "\n";
        const std::string blanks(c.shown.size(), ' ');
        EXPECT_EQ(r.out, "\x1b[?25l\r" + c.shown + "\r\x1b[?25h\x1b[?25l\r" + blanks + "\r\x1b[?25h" + line + "|" + line)
            << c.title;
    }
}

TEST(HostileMessagesTest, FifoForThePostInstallLogIsNeitherWaitedOnNorWritten) {
    temp_root root;
    ASSERT_EQ(::mkfifo(root.host("/flash/postlog").c_str(), 0644), 0);
    run_result r = run_limited(root.path(), [] {
        captured_context t;
        prepare_post_install_log(t.ctx);
        report_error(t.ctx, "broken package %s", "a.qpk");
        write_post_install_log(t.ctx);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(root.host("/flash")), (std::vector<std::string>{"/", "/boot/", "/postlog (fifo)", "/var/",
                                                                       "/var/pdb/"}));
}
