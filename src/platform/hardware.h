// The questions the installer asks of the router: its hardware and flash
// driver, its device mode and its clock. Every answer comes through one
// interface so that tests can give their own; the decisions built on the
// answers are pure functions in probes.h.
#pragma once

#include <cstdint>

namespace platform {

class hardware {
public:
    virtual ~hardware() = default;

    // Erase size of the first flash partition (/dev/mtd0, MEMGETINFO).
    // False when the device cannot be opened or the request fails.
    virtual bool flash_erase_size(std::uint32_t& erase_size) = 0;

    // Return value of the flash driver's flags request on /dev/flash
    // (request 0x2000462B): -1 when the request fails. False when the device
    // cannot be opened.
    virtual bool flash_driver_flags(int& flags) = 0;

    // The minimum system version that the flash driver allows (request
    // 0xC0044626 with the record 4, 37, result); 0 when the device is missing.
    virtual std::uint32_t minimum_system_version() = 0;

    // The processor version register; 0 where the processor has none.
    virtual std::uint32_t processor_version() = 0;

    // Whether the router was in flagged state when the program started (the
    // first byte of the device mode).
    virtual bool flagged_state() = 0;

    // Hundredths of a second since boot.
    virtual std::uint32_t uptime_ticks() = 0;
};

// The answers of the machine the program runs on.
class real_hardware : public hardware {
public:
    bool flash_erase_size(std::uint32_t& erase_size) override;
    bool flash_driver_flags(int& flags) override;
    std::uint32_t minimum_system_version() override;
    std::uint32_t processor_version() override;
    bool flagged_state() override;
    std::uint32_t uptime_ticks() override;
};

// Answers set by a test.
class fake_hardware : public hardware {
public:
    bool has_mtd = false;
    std::uint32_t erase_size = 0x20000;
    bool has_flash_driver = false;
    int driver_flags = 0;
    std::uint32_t min_version = 0;
    std::uint32_t pvr = 0;
    bool flagged = false;
    std::uint32_t uptime = 0;       // the clock before the next reading
    std::uint32_t uptime_step = 0;  // how far it moves at each reading

    bool flash_erase_size(std::uint32_t& size) override {
        size = erase_size;
        return has_mtd;
    }
    bool flash_driver_flags(int& flags) override {
        flags = driver_flags;
        return has_flash_driver;
    }
    std::uint32_t minimum_system_version() override { return min_version; }
    std::uint32_t processor_version() override { return pvr; }
    bool flagged_state() override { return flagged; }
    std::uint32_t uptime_ticks() override { return uptime += uptime_step; }
};

// The hardware in use: the real one unless a test installed another.
hardware& current_hardware();

// Installs h (not owned) as the hardware in use; null restores the real one.
void set_hardware(hardware* h);

}  // namespace platform
