#include <gtest/gtest.h>

#include "support/temp_root.h"

TEST(EntryTest, UnknownOptionPrintsUsage) {
    run_result r = run_installer({"--bogus"});
    EXPECT_EQ(r.out, "usage: installer [-q] [-r <root>] [-]\n");
    EXPECT_EQ(r.status, 0);
}
