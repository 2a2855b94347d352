// The low-level digest calls keep their whole state in a plain structure,
// so no allocation happens at any point; they are marked deprecated in
// OpenSSL 3 in favour of the EVP interface, which allocates a context for
// every new message.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/digest_state.h"

#include <openssl/sha.h>

namespace digest_state {

static_assert(sizeof(SHA_CTX) <= max_state_size && sizeof(SHA256_CTX) <= max_state_size);
static_assert(alignof(SHA_CTX) <= 8 && alignof(SHA256_CTX) <= 8);

void sha1_start(void* state) { SHA1_Init(static_cast<SHA_CTX*>(state)); }

void sha1_feed(void* state, const void* data, std::size_t n) {
    if (n) SHA1_Update(static_cast<SHA_CTX*>(state), data, n);
}

void sha1_finish(void* state, unsigned char* out) {
    SHA1_Final(out, static_cast<SHA_CTX*>(state));
    SHA1_Init(static_cast<SHA_CTX*>(state));
}

void sha256_start(void* state) { SHA256_Init(static_cast<SHA256_CTX*>(state)); }

void sha256_feed(void* state, const void* data, std::size_t n) {
    if (n) SHA256_Update(static_cast<SHA256_CTX*>(state), data, n);
}

void sha256_finish(void* state, unsigned char* out) {
    SHA256_Final(out, static_cast<SHA256_CTX*>(state));
    SHA256_Init(static_cast<SHA256_CTX*>(state));
}

}  // namespace digest_state
