#include "console/progress.h"

#include <gtest/gtest.h>

#include "support/captured_context.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "qpk/writer.h"

TEST(ProgressTest, BarWidthFollowsThePrefix) {
    std::string prefix(20, 'p');
    EXPECT_EQ(progress_text(prefix, 0, 100), prefix + " [" + std::string(54, ' ') + "]");
    EXPECT_EQ(progress_text(prefix, 50, 100), prefix + " [" + std::string(27, '#') + std::string(27, ' ') + "]");
    EXPECT_EQ(progress_text(prefix, 100, 100), prefix + " [" + std::string(54, '#') + "]");
    for (std::uint32_t position : {0u, 1u, 33u, 99u, 100u}) EXPECT_EQ(progress_text("installing x", position, 100).size(), 77u);
}

TEST(ProgressTest, ProductDoesNotOverflowAndRoundsDown) {
    // 4 GiB-range positions: a 32-bit product would wrap.
    EXPECT_EQ(progress_text("p", 0xFFFFFFF0u, 0xFFFFFFFFu), "p [" + std::string(72, '#') + " ]");
    EXPECT_EQ(progress_text("p", 0xFFFFFFFFu, 0xFFFFFFFFu), "p [" + std::string(73, '#') + "]");
    EXPECT_EQ(progress_text("p", 1, 3), "p [" + std::string(24, '#') + std::string(49, ' ') + "]");
}

TEST(ProgressTest, NoNegativeCountsOnOddInput) {
    EXPECT_EQ(progress_text("p", 200, 100), "p [" + std::string(73, '#') + "]");
    std::string long_prefix(80, 'x');
    EXPECT_EQ(progress_text(long_prefix, 5, 10), long_prefix + " []");
}

namespace {


}  // namespace

TEST(ProgressTest, ShowProgressCountsTheBytesConsumedFromTheFile) {
    // A package whose large note part holds the middle of the file.
    qpk::package_contents contents;
    contents.name = "system";
    contents.version = 1;
    contents.note = std::string(1000, 'n');
    std::string bytes = qpk::build_package(contents);
    if (bytes.size() % 2 != 0) {
        contents.note->push_back('n');
        bytes = qpk::build_package(contents);
    }
    const std::uint32_t total = static_cast<std::uint32_t>(bytes.size());
    const std::string prefix(20, 'p');  // 54 cells

    std::istringstream source(bytes);
    package_istream stream(source, true);
    for (std::uint32_t type = 0; type < 32; ++type) stream.wanted_types.push_back(type);
    captured_context c;

    // Only the headers consumed: an empty bar.
    ASSERT_EQ(stream.next_part(), 1);
    show_progress(c.ctx, stream, prefix);
    EXPECT_EQ(c.ctx.status_line, prefix + " [" + std::string(54, ' ') + "]");

    // Half of the file consumed, within the note part.
    while (stream.current_type != 23) ASSERT_NE(stream.next_part(), -1);
    const std::uint32_t into_note = total / 2 - stream.part_offset();
    ASSERT_LT(into_note, stream.part_length());
    std::string scratch(into_note, '\0');
    stream.read(scratch.data(), into_note);
    show_progress(c.ctx, stream, prefix);
    EXPECT_EQ(c.ctx.status_line, prefix + " [" + std::string(27, '#') + std::string(27, ' ') + "]");
    // The same bar again writes nothing.
    std::size_t before = c.written();
    show_progress(c.ctx, stream, prefix);
    EXPECT_EQ(c.written(), before);

    // A read that runs into the part's end fails the stream; the bar still
    // stands where the reading stopped.
    std::string rest(stream.part_length(), '\0');
    stream.read(rest.data(), stream.part_length());
    ASSERT_TRUE(stream.fail());
    show_progress(c.ctx, stream, prefix);
    EXPECT_EQ(c.ctx.status_line,
              progress_text(prefix, stream.part_offset() + stream.part_length(), total));

    // The whole file consumed: a full bar.
    stream.clear();
    while (stream.next_part() != -1) {
        std::string part(stream.part_length(), '\0');
        stream.read(part.data(), stream.part_length());
        if (stream.part_offset() + stream.part_length() == total) break;
    }
    show_progress(c.ctx, stream, prefix);
    EXPECT_EQ(c.ctx.status_line, prefix + " [" + std::string(54, '#') + "]");
    EXPECT_EQ(c.ctx.status_line.size(), 77u);
}
