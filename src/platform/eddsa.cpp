#include "platform/eddsa.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace eddsa {

int verify(asn1::blob key, asn1::blob message, asn1::blob signature) {
    if (key.start == nullptr || signature.start == nullptr) return 0;
    if (key.size() != 32 || signature.size() != 64) return 0;
    if (message.start == nullptr && message.size() != 0) return 0;

    // Left to itself, libcrypto's first key operation reads its configuration file (which, named by OPENSSL_CONF,
    // could load engines or providers into a program that runs as root), loads the error texts of every library and
    // registers every legacy cipher and digest. The installer uses none of these, and paging in their code and tables
    // makes up about a tenth of its resident memory, so it turns them off before its first check.
    static const bool set_up = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS |
                                                       OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                                                   nullptr) == 1;
    if (!set_up) return 0;
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
