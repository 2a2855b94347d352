#include "platform/probes.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/hardware.h"

namespace {

// Counts how often the flash driver is asked.
class counting_hardware : public platform::fake_hardware {
public:
    int driver_requests = 0;
    bool flash_driver_flags(int& flags) override { return ++driver_requests, fake_hardware::flash_driver_flags(flags); }
};

}  // namespace

// The board variant from the PVR (the low byte ignored), asking the flash driver only for the two boards it tells apart; a
// missing driver never sets the flag, a failing request counts as set. The erase-block probe answers for 256 KiB blocks only;
// "bootimage" set, even empty, asks for a boot image.
TEST(ProbesTest, HardwareAnswersThroughTheSeam) {
    counting_hardware hw;
    platform::set_hardware(&hw);
    const struct {
        std::uint32_t pvr;
        bool driver;
        int flags;
        unsigned variant;
        int requests;
    } rows[] = {
        {0x80211000, false, 0x10, 4, 1}, {0x802110FF, true, 0, 4, 1},      {0x802110A5, true, 0x10, 2, 1},
        {0x80212100, true, 0x30, 2, 1},  {0x80212142, true, -1, 2, 1},     {0x80212100, true, 0xEF, 4, 1},
        {0x80211100, true, 0x10, 2, 0},  {0x80212000, true, 0, 2, 0},      {0x00210000, true, 0x10, 2, 0},
        {0x80200123, true, 0, 2, 0},     {0x80830000, true, 0x10, 1, 0},   {0x00840010, true, 0x10, 1, 0},
        {0x80851000, true, 0, 1, 0},     {0x13020000, true, 0, 3, 0},      {0x130200FF, true, 0x10, 3, 0},
        {0x13030000, true, 0, 0, 0},     {0x80220000, true, 0, 0, 0},      {0x80860000, true, 0x10, 0, 0},
        {0x00000000, true, 0, 0, 0},     {0xFFFFFFFF, true, 0x10, 0, 0},
    };
    for (const auto& r : rows) {
        hw.pvr = r.pvr, hw.has_flash_driver = r.driver, hw.driver_flags = r.flags, hw.driver_requests = 0;
        EXPECT_EQ(board_variant(), r.variant) << std::hex << r.pvr;
        EXPECT_EQ(hw.driver_requests, r.requests) << std::hex << r.pvr;
        EXPECT_EQ(board_variant_for(r.pvr, flash_driver_flag()), r.variant) << std::hex << r.pvr;
        EXPECT_EQ(flash_driver_flag(), r.driver && (r.flags & 0x10) ? 0x10 : 0);
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
