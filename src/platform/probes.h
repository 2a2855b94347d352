// What the program needs to know about the router it runs on: the flash's
// erase block size, the board variant, and whether the start-up environment
// asks for a boot image. Each answer is worked out anew on every call; the
// hardware is asked through platform::current_hardware() so that tests can
// answer instead.
#pragma once

#include <cstdint>

// True when the first flash partition has 256 KiB erase blocks; false when the
// device is missing or does not answer.
bool erase_block_probe();

// Bit 0x10 of the flash driver's flags word, 0 when the driver is missing. A
// failing request answers -1, which leaves the bit set.
int flash_driver_flag();

// Board variant code 0..4 of this router, from its processor version register
// and, for the boards that need it, the flash driver flag.
unsigned board_variant();

// The decision behind board_variant(), from the answers alone.
unsigned board_variant_for(std::uint32_t pvr, int driver_flag);

// Whether board_variant_for(pvr, ...) depends on the flash driver flag, so
// that the driver is only asked when its answer matters.
bool board_variant_needs_driver_flag(std::uint32_t pvr);

// Whether the router was in flagged state when the program started.
bool flagged_state();

// True when "bootimage" is set in the environment, even to the empty text.
bool boot_image_requested();
