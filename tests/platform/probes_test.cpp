#include "platform/probes.h"

#include <gtest/gtest.h>

#include "platform/hardware.h"

// The board variant from the PVR (its low byte ignored), asking the flash driver (counted) only for the two boards it tells apart:
// a missing driver never sets the flag, a failing request counts as set. The erase-block probe answers for 256 KiB blocks only;
// "bootimage" set, even empty, asks for a boot image.
TEST(ProbesTest, HardwareAnswersThroughTheSeam) {
    struct counting : platform::fake_hardware {
        int requests = 0;
        bool flash_driver_flags(int& flags) override { return ++requests, fake_hardware::flash_driver_flags(flags); }
    } hw;
    platform::set_hardware(&hw);
    for (const auto& [pvr, driver, flags, variant, requests] :
         {std::tuple{0x80211000u, false, 0x10, 4u, 1}, {0x802110FFu, true, 0, 4u, 1}, {0x802110A5u, true, 0x10, 2u, 1}, {0x80212142u, true, -1, 2u, 1},
          {0x80212100u, true, 0xEF, 4u, 1}, {0x80211100u, true, 0x10, 2u, 0}, {0x00210000u, true, 0x10, 2u, 0}, {0x80830000u, true, 0x10, 1u, 0},
          {0x00840010u, true, 0, 1u, 0}, {0x80851000u, true, 0, 1u, 0}, {0x130200FFu, true, 0x10, 3u, 0}, {0x13030000u, true, 0, 0u, 0}, {0x80220000u, true, 0, 0u, 0}}) {
        hw.pvr = pvr, hw.has_flash_driver = driver, hw.driver_flags = flags, hw.requests = 0;
        EXPECT_EQ(board_variant(), variant) << std::hex << pvr;
        EXPECT_EQ(hw.requests, requests) << std::hex << pvr;
        EXPECT_EQ(flash_driver_flag(), driver && (flags & 0x10) ? 0x10 : 0);
    }
    for (const auto& [mtd, size, large] : {std::tuple{false, 0x40000u, false}, {true, 0x20000u, false}, {true, 0x40000u, true}, {true, 0x80000u, false}}) {
        hw.has_mtd = mtd, hw.erase_size = size;
        EXPECT_EQ(erase_block_probe(), large) << size;
    }
    platform::set_hardware(nullptr);
    for (const char* value : {"1", "", static_cast<const char*>(nullptr)}) {
        value ? ::setenv("bootimage", value, 1) : ::unsetenv("bootimage");
        EXPECT_EQ(boot_image_requested(), value != nullptr);
    }
}
