#include "platform/probes.h"

#include <gtest/gtest.h>

#include "platform/hardware.h"

// The board variant from the PVR (its low byte ignored), asking the flash driver (counted) only for the two boards it
// tells apart: a missing driver never sets the flag, a failing request counts as set. The erase-block probe answers for
// 256 KiB blocks only: not without a flash device, nor for larger ones (the selection table shows 128 and 256 KiB).
TEST(ProbesTest, HardwareAnswersThroughTheSeam) {
    struct counting : platform::fake_hardware {
        int requests = 0;
        bool flash_driver_flags(int& flags) override {
            ++requests;
            return fake_hardware::flash_driver_flags(flags);
        }
    } hw;
    platform::set_hardware(&hw);
    const struct {
        std::uint32_t pvr;
        bool driver;
        int flags, variant, requests;
    } boards[] = {
        {0x80211000u, false, 0x10, 4, 1},
        {0x802110FFu, true, 0, 4, 1},
        {0x802110A5u, true, 0x10, 2, 1},
        {0x80212142u, true, -1, 2, 1},
        {0x80212100u, true, 0xEF, 4, 1},
        {0x80211100u, true, 0x10, 2, 0},
        {0x00210000u, true, 0x10, 2, 0},
        {0x80830000u, true, 0x10, 1, 0},
        {0x00840010u, true, 0, 1, 0},
        {0x80851000u, true, 0, 1, 0},
        {0x130200FFu, true, 0x10, 3, 0},
        {0x13030000u, true, 0, 0, 0},
        {0x80220000u, true, 0, 0, 0},
    };
    for (const auto& b : boards) {
        SCOPED_TRACE(b.pvr);
        hw.pvr = b.pvr;
        hw.has_flash_driver = b.driver;
        hw.driver_flags = b.flags;
        hw.requests = 0;
        EXPECT_EQ(board_variant(), static_cast<unsigned>(b.variant));
        EXPECT_EQ(hw.requests, b.requests);
        EXPECT_EQ(flash_driver_flag(), b.driver && (b.flags & 0x10) ? 0x10 : 0);
    }
    hw.erase_size = 0x40000;
    EXPECT_FALSE(erase_block_probe());
    hw.has_mtd = true;
    hw.erase_size = 0x80000;
    EXPECT_FALSE(erase_block_probe());
    platform::set_hardware(nullptr);
}
