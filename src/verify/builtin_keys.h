// The public key material that the installer checks package signatures
// against. The values are not part of the source: the build takes them from
// the public key file it is configured with (see keys/README.md).
#pragma once

#include <cstdint>

#include "verify/sign_hash.h"

namespace verify {

struct public_keys {
    std::uint8_t eddsa_public[32];       // passed whole to eddsa::verify
    std::uint8_t curve25519_public[32];  // x-coordinate, little-endian
    std::uint32_t table[sign_hash_table_words];  // sign_hash: round constants, then initial values
};

// The keys of this build.
const public_keys& builtin_keys();

// The public key file the keys of this build were taken from.
const char* builtin_key_file();

}  // namespace verify
