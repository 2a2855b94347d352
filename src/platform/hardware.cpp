#include "platform/hardware.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/velnor_mode.h"

namespace platform {
namespace {

constexpr unsigned long flash_flags_request = 0x2000462B;
constexpr unsigned long flash_min_version_request = 0xC0044626;

struct min_version_record {
    std::uint16_t kind;
    std::uint16_t item;
    std::uint32_t result;
};

hardware* installed = nullptr;

// The device mode is read once, before the entry function runs, and never
// refreshed: a mode change during a run must not change its decisions.
const bool flagged_at_start = ql::VelnorMode::load().bytes[0] != 0;

}  // namespace

bool real_hardware::flash_erase_size(std::uint32_t& erase_size) {
    int fd = ::open("/dev/mtd0", O_RDONLY);
    if (fd < 0) return false;
    // MEMGETINFO comes from the kernel's own header, so that its request
    // code is encoded as the processor's ioctl convention wants it.
    mtd_info_user info;
    std::memset(&info, 0, sizeof info);
    int rc = ::ioctl(fd, MEMGETINFO, &info);
    ::close(fd);
    if (rc < 0) return false;
    erase_size = info.erasesize;
    return true;
}

bool real_hardware::flash_driver_flags(int& flags) {
    int fd = ::open("/dev/flash", O_RDONLY);
    if (fd < 0) return false;
    flags = ::ioctl(fd, flash_flags_request, 0);
    ::close(fd);
    return true;
}

std::uint32_t real_hardware::minimum_system_version() {
    min_version_record record{4, 37, 0};
    int fd = ::open("/dev/flash", O_RDWR);
    if (fd < 0) return 0;
    ::ioctl(fd, flash_min_version_request, &record);
    ::close(fd);
    return record.result;
}

std::uint32_t real_hardware::processor_version() {
#if defined(__powerpc__)
    std::uint32_t pvr;
    asm volatile("mfpvr %0" : "=r"(pvr));
    return pvr;
#else
    return 0;
#endif
}

bool real_hardware::flagged_state() { return flagged_at_start; }

std::uint32_t real_hardware::uptime_ticks() {
    // times() with a null buffer gives the kernel's tick counter, which
    // starts 300 seconds below zero.
    long ticks = ::syscall(SYS_times, nullptr);
    if (ticks == -1) return static_cast<std::uint32_t>(30000 - errno);
    return static_cast<std::uint32_t>(ticks) + 30000;
}

hardware& current_hardware() {
    static real_hardware real;
    return installed ? *installed : real;
}

void set_hardware(hardware* h) { installed = h; }

}  // namespace platform
