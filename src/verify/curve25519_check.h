// The level-1 signature: a Schnorr-type signature (r, s) on Curve25519,
// checked by the installer's own code without touching the heap.
//
// With the public key's point P (the lift with even y), the base point B and
// e derived from the digest and r, the signature holds when the first 16
// bytes of sign_hash(x(s P - e B)) equal r.
#pragma once

#include <cstdint>

#include "verify/builtin_keys.h"
#include "verify/field25519.h"

namespace verify {

// A public key lifted from its x-coordinate to a point with even y.
struct lifted_key {
    field_element x;
    field_element y;
    field_element w;  // x^3 + 486662 x^2 + x, that is y^2
};

// Lifts the 32-byte little-endian x-coordinate (taken modulo p). False when
// no point has that x-coordinate, and for x = 9 (the base point or its
// negative), with which the ladder's differences cannot be formed.
bool lift_public_key(lifted_key& key, const std::uint8_t x[32]);

// e = sign_hash(digest[0..20)) with bytes 8 to 23 XORed with r, clamped.
void derive_e(std::uint8_t e[32], const std::uint8_t digest[32], const std::uint8_t r[16],
              const std::uint32_t table[sign_hash_table_words]);

// out = x(s P - e B) as 32 little-endian bytes, all zero for the point at
// infinity; s and e are 256-bit little-endian numbers.
void joint_ladder(std::uint8_t out[32], const std::uint8_t s[32], const std::uint8_t e[32],
                  const lifted_key& key);

// Whether (r, s) is a valid level-1 signature of the digest buffer under
// the Curve25519 public key and sign_hash table of keys.
bool curve25519_check(const std::uint8_t digest[32], const std::uint8_t r[16],
                      const std::uint8_t s[32], const public_keys& keys);

}  // namespace verify
