// The level a package's signature part reaches: 2 for a valid EdDSA
// signature, 1 for a valid Curve25519 signature, 0 for neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "verify/builtin_keys.h"

namespace verify {

// Bytes of a signature part that the check looks at.
constexpr std::size_t curve25519_signature_size = 68;  // 20 unused, r (16), s (32)
constexpr std::size_t full_signature_size = 132;       // the above, then EdDSA (64)

// The level of the signature bytes sig[0..n) over the 32-byte digest buffer
// under keys. Fewer than 68 bytes give 0; from 132 bytes on the EdDSA
// signature at bytes 68 to 131 is tried first; below that only the
// Curve25519 signature at bytes 20 to 67 is. Bytes 0 to 19 and any beyond
// 132 do not matter.
int signature_level(const std::uint8_t digest[32], const std::uint8_t* sig, std::size_t n,
                    const public_keys& keys);

// The same under the keys of this build.
int signature_level(const std::uint8_t digest[32], const std::uint8_t* sig, std::size_t n);

}  // namespace verify
