#include "platform/hash.h"

#include <openssl/evp.h>

#include <cstring>

evp_hash::evp_hash(evp_md_st* md, std::size_t size) : md_(md), ctx_(EVP_MD_CTX_new()), size_(size) {
    // Without a context every operation does nothing and finish() gives
    // zero bytes, which can never match a signature.
    if (ctx_ && EVP_DigestInit_ex(ctx_, md_, nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

evp_hash::~evp_hash() {
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
}

void evp_hash::update(const void* data, std::size_t n) {
    if (ctx_ && n) EVP_DigestUpdate(ctx_, data, n);
}

void evp_hash::finish(unsigned char* out) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ctx_ || EVP_DigestFinal_ex(ctx_, digest, &length) != 1 || length != size_) {
        std::memset(out, 0, size_);
    } else {
        std::memcpy(out, digest, size_);
    }
    if (ctx_ && EVP_DigestInit_ex(ctx_, md_, nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

// The digests are fetched once per object: starting a new message with an
// already fetched digest reuses the context instead of looking the
// algorithm up, and allocating, again.
SHA1::SHA1() : evp_hash(EVP_MD_fetch(nullptr, "SHA1", nullptr), size) {}

SHA256::SHA256() : evp_hash(EVP_MD_fetch(nullptr, "SHA256", nullptr), size) {}
