#include "console/progress.h"

#include <gtest/gtest.h>

#include <sstream>

#include "stream/package_bytes.h"
#include "support/captured_context.h"

// 77 characters whatever the prefix (a 64-bit product, rounded down, never a negative count); the position is what the stream
// consumed of the file, also after a read ran into the part's end.
TEST(ProgressTest, BarOfTheBytesConsumed) {
    const std::string p20(20, 'p');
    const std::tuple<std::string, std::uint32_t, std::uint32_t, std::size_t, std::size_t> bars[] = {
        {p20, 0, 100, 0, 54},  {p20, 50, 100, 27, 27},          {p20, 100, 100, 54, 0},         {"p", 1, 3, 24, 49},
        {"p", 0xFFFFFFF0u, 0xFFFFFFFFu, 72, 1}, {"p", 0xFFFFFFFFu, 0xFFFFFFFFu, 73, 0}, {"p", 200, 100, 73, 0},
        {"p", 5, 0, 73, 0},    {std::string(80, 'x'), 5, 10, 0, 0},
    };
    for (const auto& [prefix, position, total, hashes, blanks] : bars)
        EXPECT_EQ(progress_text(prefix, position, total), prefix + " [" + std::string(hashes, '#') + std::string(blanks, ' ') + "]") << position;

    using namespace test_bytes;
    const std::string bytes = file(part(1, std::string(36, 'h')) + part(23, std::string(194, 'n')) + part(3, le16(0)));  // 258 bytes, the text from 56
    std::istringstream source(bytes);
    package_istream stream(source, true);
    stream.wanted_types = {1, 23, 3};
    captured_context c;
    const auto shown = [&](std::size_t consumed) {
        show_progress(c.ctx, stream, p20);
        return c.ctx.status_line == progress_text(p20, static_cast<std::uint32_t>(consumed), 258);
    };
    ASSERT_EQ(stream.next_part(), 1);
    EXPECT_TRUE(shown(14));
    ASSERT_EQ(stream.next_part(), 23);
    std::string text(300, '\0');
    stream.read(text.data(), 112);
    EXPECT_TRUE(shown(56 + 112));
    const std::size_t written = c.all().size();
    EXPECT_TRUE(shown(56 + 112));
    EXPECT_EQ(c.all().size(), written);  // the same bar again writes nothing
    stream.read(text.data(), 300);       // runs into the part's end
    EXPECT_TRUE(stream.fail() && shown(56 + 194));
    stream.clear();
    ASSERT_EQ(stream.next_part(), 3);
    stream.read(text.data(), 2);
    EXPECT_TRUE(shown(258));
    EXPECT_EQ(c.ctx.status_line, p20 + " [" + std::string(54, '#') + "]");
}
