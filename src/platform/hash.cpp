#include "platform/hash.h"

SHA1::SHA1() { digest_state::sha1_start(state_); }
void SHA1::update(const void* data, std::size_t n) { digest_state::sha1_feed(state_, data, n); }
void SHA1::finish(unsigned char* out) { digest_state::sha1_finish(state_, out); }

SHA256::SHA256() { digest_state::sha256_start(state_); }
void SHA256::update(const void* data, std::size_t n) { digest_state::sha256_feed(state_, data, n); }
void SHA256::finish(unsigned char* out) { digest_state::sha256_finish(state_, out); }
