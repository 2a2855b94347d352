#include "platform/eddsa.h"

#include <openssl/evp.h>

namespace eddsa {

int verify(asn1::blob key, asn1::blob message, asn1::blob signature) {
    if (key.start == nullptr || signature.start == nullptr) return 0;
    if (key.size() != 32 || signature.size() != 64) return 0;
    if (message.start == nullptr && message.size() != 0) return 0;

    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.start, key.size());
    if (pkey == nullptr) return 0;
    int valid = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    // Ed25519 hashes the message itself, so no digest is named here.
    if (ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1) {
        static const std::uint8_t empty = 0;
        const std::uint8_t* text = message.start != nullptr ? message.start : &empty;
        valid = EVP_DigestVerify(ctx, signature.start, signature.size(), text, message.size()) == 1;
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return valid;
}

}  // namespace eddsa
