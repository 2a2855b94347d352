// libcrypto's SHA-1 and SHA-256 over caller-held state. Kept apart from
// hash.h: libcrypto names its one-shot functions SHA1 and SHA256 as well.
#pragma once

#include <cstddef>

namespace digest_state {

// The most bytes that either state needs; the callers hold this much.
constexpr std::size_t max_state_size = 128;

void sha1_start(void* state);
void sha1_feed(void* state, const void* data, std::size_t n);
// Writes 20 bytes and starts a new message.
void sha1_finish(void* state, unsigned char* out);

void sha256_start(void* state);
void sha256_feed(void* state, const void* data, std::size_t n);
// Writes 32 bytes and starts a new message.
void sha256_finish(void* state, unsigned char* out);

}  // namespace digest_state
