#include "console/progress.h"

#include <gtest/gtest.h>

#include "stream/package_bytes.h"
#include "support/captured_context.h"

// 77 characters whatever the prefix (a 64-bit product rounded down, never a negative count); the position is what the
// stream consumed of the file, also after a read ran into the part's end; the same bar twice writes nothing.
TEST(ProgressTest, BarOfTheBytesConsumed) {
    const std::string p20(20, 'p');
    for (const auto& [prefix, position, total, hashes, blanks] : {std::tuple{p20, 50u, 100u, 27, 27}, {"p", 1u, 3u,
        24, 49}, {"p", 0xFFFFFFF0u, 0xFFFFFFFFu, 72, 1},
                                                                  {"p", 200u, 100u, 73, 0}, {"p", 5u, 0u, 73, 0},
                                                                      {std::string(80, 'x'), 5u, 10u, 0, 0}})
        EXPECT_EQ(progress_text(prefix, position, total), prefix + " [" + std::string(hashes, '#')
            + std::string(blanks, ' ') + "]");
    std::istringstream source(test_bytes::file(test_bytes::part(1, std::string(36, 'h')) + test_bytes::part(23,
        std::string(194, 'n'))));  // 250 bytes
    package_istream stream(source, true);
    stream.wanted_types = {1, 23};
    captured_context c;
    const auto bar = [&](std::size_t consumed) {
        show_progress(c.ctx, stream, p20);
        const std::size_t written = c.all().size();
        show_progress(c.ctx, stream, p20);
        return c.all().size() == written && c.ctx.status_line == progress_text(p20,
            static_cast<std::uint32_t>(consumed), 250);
    };
    std::string text(300, '\0');
    EXPECT_TRUE(stream.next_part() == 1 && bar(14) && stream.next_part() == 23 && stream.read(text.data(), 112)
        && bar(168));
    EXPECT_TRUE(stream.read(text.data(), 300).fail() && bar(250) && c.ctx.status_line == p20 + " [" + std::string(54,
        '#') + "]");
}
