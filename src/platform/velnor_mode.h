// The device mode of the router, as the system message library reports it.
#pragma once

#include <cstdint>

namespace ql {

// Only the first byte of the record means anything to the installer: non-zero
// when the router is in flagged state. The rest belongs to the platform.
struct VelnorMode {
    std::uint8_t bytes[16] = {};

    // Asks the platform for the current mode. This host has no message
    // service, so the mode reads "not flagged"; tests answer through
    // platform::hardware instead.
    static VelnorMode load();
};

}  // namespace ql
