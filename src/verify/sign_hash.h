// sign_hash: the hash of the level-1 signature. It has the shape of SHA-256
// (blocks, schedule, round functions, padding) with constants of its own: a
// table of 72 words, the 64 round constants followed by the 8 initial
// chaining values. The table belongs with the signing keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace verify {

constexpr std::size_t sign_hash_table_words = 72;

// output = sign_hash(input[0..length)) under the given table.
void sign_hash(std::uint8_t output[32], const std::uint8_t* input, std::size_t length,
               const std::uint32_t table[sign_hash_table_words]);

// The same under the table built into the program.
void sign_hash(std::uint8_t output[32], const std::uint8_t* input, std::size_t length);

}  // namespace verify
