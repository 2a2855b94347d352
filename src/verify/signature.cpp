#include "verify/signature.h"

#include "platform/eddsa.h"
#include "verify/curve25519_check.h"

namespace verify {

int signature_level(const std::uint8_t digest[32], const std::uint8_t* sig, std::size_t n,
                    const public_keys& keys) {
    if (sig == nullptr || n < curve25519_signature_size) return 0;
    if (n >= full_signature_size) {
        const asn1::blob key(keys.eddsa_public, sizeof keys.eddsa_public);
        const asn1::blob message(digest, 32);
        const asn1::blob signature(sig + curve25519_signature_size,
                                   full_signature_size - curve25519_signature_size);
        if (eddsa::verify(key, message, signature)) return 2;
    }
    return curve25519_check(digest, sig + 20, sig + 36, keys) ? 1 : 0;
}

int signature_level(const std::uint8_t digest[32], const std::uint8_t* sig, std::size_t n) {
    return signature_level(digest, sig, n, builtin_keys());
}

}  // namespace verify
