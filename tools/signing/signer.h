// The signing side of package signatures (never linked into the installer).
//
// A signature part holds 20 zero bytes, the Curve25519 signature r (16
// bytes) and s (32 bytes, little-endian), and for level 2 the 64-byte
// Ed25519 signature of the 32-byte digest buffer after them.
#pragma once

#include <cstdint>
#include <vector>

#include "signing/key_file.h"
#include "verify/builtin_keys.h"

namespace signing {

// The public keys that belong to a private key: the Ed25519 public key of the
// seed, the x-coordinate of a B, and the same table. False when the private
// Curve25519 scalar is 0 modulo the order of B.
bool public_keys_of(const private_keys& keys, verify::public_keys& out);

// Signs the 32-byte digest buffer: level 2 gives the 132-byte signature part
// (both signatures), level 1 the 68-byte one (Curve25519 only). The nonce is
// derived from the private keys and the digest, so that the same key and
// digest give the same bytes, unless one is given (32 bytes, little-endian;
// for reproducing known answers). Every signature is checked with the
// installer's own verifier before it is returned; false when that check or
// any step fails.
bool sign_digest(const private_keys& keys, const std::uint8_t digest[32], int level,
                 std::vector<std::uint8_t>& signature, const std::uint8_t* nonce = nullptr);

// A fresh sign_hash table of random words, for a signer that does not
// share its table with an existing key pair.
bool random_table(std::uint32_t table[verify::sign_hash_table_words]);

// A new random key pair with the given sign_hash table; the Curve25519
// scalar is stored already chosen so that a B has even y.
bool generate_private_keys(const std::uint32_t table[verify::sign_hash_table_words], private_keys& out);

}  // namespace signing
