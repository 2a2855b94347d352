#include "platform/probes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/hardware.h"

namespace {

// Counts how often the flash driver is asked, so that the tests can see that
// board_variant() leaves the driver alone when its answer does not matter.
class counting_hardware : public platform::fake_hardware {
public:
    int driver_requests = 0;
    bool flash_driver_flags(int& flags) override {
        ++driver_requests;
        return fake_hardware::flash_driver_flags(flags);
    }
};

class ProbesTest : public testing::Test {
protected:
    void SetUp() override { platform::set_hardware(&hw); }
    void TearDown() override { platform::set_hardware(nullptr); }
    counting_hardware hw;
};

TEST(BoardVariantTest, DecisionTable) {
    struct row {
        std::uint32_t pvr;
        int flag;
        unsigned expected;
    };
    const row rows[] = {
        // The two boards told apart by the flash driver; the low byte is ignored.
        {0x80211000, 0, 4},
        {0x802110FF, 0, 4},
        {0x802110A5, 0x10, 2},
        {0x80212100, 0, 4},
        {0x80212142, 0x10, 2},
        // Same family byte 0x21 but not those boards: no driver question.
        {0x80211100, 0, 2},
        {0x80212000, 0, 2},
        {0x00210000, 0x10, 2},
        {0x80200123, 0, 2},
        {0x80830000, 0, 1},
        {0x00840010, 0x10, 1},
        {0x80851000, 0, 1},
        {0x13020000, 0, 3},
        {0x130200FF, 0x10, 3},
        {0x13030000, 0, 0},
        {0x80220000, 0, 0},
        {0x80860000, 0x10, 0},
        {0x00000000, 0, 0},
        {0xFFFFFFFF, 0x10, 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(board_variant_for(r.pvr, r.flag), r.expected) << std::hex << r.pvr << " flag " << r.flag;
}

TEST_F(ProbesTest, FlashDriverFlag) {
    struct row {
        bool present;
        int flags;
        int expected;
    };
    const row rows[] = {
        {false, 0x10, 0},  // a missing driver never sets the flag
        {true, 0, 0},      {true, 0x10, 0x10}, {true, 0xEF, 0},
        {true, 0x30, 0x10}, {true, -1, 0x10},  // a failing request counts as set
    };
    for (const row& r : rows) {
        hw.has_flash_driver = r.present;
        hw.driver_flags = r.flags;
        EXPECT_EQ(flash_driver_flag(), r.expected) << r.present << " " << r.flags;
    }
}

TEST_F(ProbesTest, BoardVariantAsksTheDriverOnlyWhenItMatters) {
    struct row {
        std::uint32_t pvr;
        bool present;
        int flags;
        unsigned expected;
        int requests;
    };
    const row rows[] = {
        {0x80211034, false, 0x10, 4, 1}, {0x80211034, true, 0, 4, 1},  {0x80211034, true, 0x10, 2, 1},
        {0x80212100, true, -1, 2, 1},    {0x80212100, true, 0xEF, 4, 1}, {0x80830000, true, 0x10, 1, 0},
        {0x80211100, true, 0, 2, 0},     {0x13020001, true, 0x10, 3, 0}, {0, true, 0x10, 0, 0},
    };
    for (const row& r : rows) {
        hw.pvr = r.pvr;
        hw.has_flash_driver = r.present;
        hw.driver_flags = r.flags;
        hw.driver_requests = 0;
        EXPECT_EQ(board_variant(), r.expected) << std::hex << r.pvr;
        EXPECT_EQ(hw.driver_requests, r.requests) << std::hex << r.pvr;
    }
}

TEST_F(ProbesTest, EraseBlockProbe) {
    hw.has_mtd = false;
    hw.erase_size = 0x40000;
    EXPECT_FALSE(erase_block_probe());
    hw.has_mtd = true;
    hw.erase_size = 0x20000;
    EXPECT_FALSE(erase_block_probe());
    hw.erase_size = 0x40000;
    EXPECT_TRUE(erase_block_probe());
    hw.erase_size = 0x80000;
    EXPECT_FALSE(erase_block_probe());
}

TEST(BootImageTest, SetEmptyAndUnset) {
    std::optional<std::string> saved;
    if (const char* value = std::getenv("bootimage")) saved = value;

    ::setenv("bootimage", "1", 1);
    EXPECT_TRUE(boot_image_requested());
    ::setenv("bootimage", "", 1);
    EXPECT_TRUE(boot_image_requested());
    ::unsetenv("bootimage");
    EXPECT_FALSE(boot_image_requested());

    if (saved) ::setenv("bootimage", saved->c_str(), 1);
}

}  // namespace
