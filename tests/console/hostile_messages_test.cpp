// Messages and the status line with arguments that hold control bytes (names
// from package files, download file names): the console and the post-install
// log get the same printable line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/captured_context.h"
#include "support/host_files.h"
#include "support/limited_run.h"

TEST(HostileMessagesTest, ControlBytesShowAsQuestionMarksAndAFifoLogIsLeftAlone) {
    const struct {
        std::string argument, shown;
        bool fifo_log;
    } cases[] = {
        {"a.qpk\nERROR: forged", "a.qpk?ERROR: forged", false},
        {"\x1b[2J\x1b]0;t\a\r\t\x7f", "?[2J?]0;t????", false},
        {"caf\xc3\xa9 ~!", "caf\xc3\xa9 ~!", true},
    };
    for (const auto& c : cases) {
        temp_root root;
        if (c.fifo_log) ::mkfifo(root.host("/flash/postlog").c_str(), 0644);
        run_result r = run_limited(root.path(), [&] {
            captured_context t;
            prepare_post_install_log(t.ctx);
            show_status(t.ctx, c.argument);
            report_error(t.ctx, "broken package %s", c.argument.c_str());
            write_post_install_log(t.ctx);
            std::printf("%s|%s", t.all().c_str(), c.fifo_log ? "" : read_host_file("/flash/postlog").c_str());
            return 0;
        });
        const std::string line = "ERROR: broken package " + c.shown + "\n";
        EXPECT_EQ(r.out, "\x1b[?25l\r" + c.shown + "\r\x1b[?25h\x1b[?25l\r" + std::string(c.shown.size(), ' ') +
                             "\r\x1b[?25h" + line + "|" + (c.fifo_log ? "" : line))
            << c.argument;
        EXPECT_EQ(snapshot(root.host("/flash/postlog")),
                  std::vector<std::string>{c.fifo_log ? " (fifo)" : " = " + line});
    }
}
