#include "console/progress.h"

#include <gtest/gtest.h>

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
