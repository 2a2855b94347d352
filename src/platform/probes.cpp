#include "platform/probes.h"

#include <cstdlib>

#include "platform/hardware.h"

namespace {

constexpr std::uint32_t large_erase_block = 0x40000;
constexpr int driver_flag_bit = 0x10;

}  // namespace

bool flagged_state() { return platform::current_hardware().flagged_state(); }

bool erase_block_probe() {
    std::uint32_t erase_size = 0;
    if (!platform::current_hardware().flash_erase_size(erase_size)) return false;
    return erase_size == large_erase_block;
}

int flash_driver_flag() {
    int flags = 0;
    if (!platform::current_hardware().flash_driver_flags(flags)) return 0;
    return flags & driver_flag_bit;
}

bool board_variant_needs_driver_flag(std::uint32_t pvr) {
    // The low byte is the processor's revision and does not tell these
    // boards apart.
    std::uint32_t high = pvr & ~std::uint32_t{0xFF};
    return high == 0x80211000 || high == 0x80212100;
}

unsigned board_variant_for(std::uint32_t pvr, int driver_flag) {
    // These processors sit on two boards that only the flash driver tells
    // apart; this test must come before the wider one on the same byte below.
    if (board_variant_needs_driver_flag(pvr)) return driver_flag != 0 ? 2 : 4;
    std::uint32_t family = (pvr >> 16) & 0xFF;
    if (family == 0x20 || family == 0x21) return 2;
    if (family == 0x83 || family == 0x84 || family == 0x85) return 1;
    if ((pvr >> 16) == 0x1302) return 3;
    return 0;
}

unsigned board_variant() {
    std::uint32_t pvr = platform::current_hardware().processor_version();
    int flag = board_variant_needs_driver_flag(pvr) ? flash_driver_flag() : 0;
    return board_variant_for(pvr, flag);
}

bool boot_image_requested() { return std::getenv("bootimage") != nullptr; }
