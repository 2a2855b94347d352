#include "verify/sign_hash.h"

#include "verify/builtin_keys.h"

namespace verify {
namespace {

std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(std::uint32_t state[8], const std::uint8_t block[64], const std::uint32_t* k) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
               std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t big1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        const std::uint32_t ch = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + big1 + ch + k[i] + w[i];
        const std::uint32_t big0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = big0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void sign_hash(std::uint8_t output[32], const std::uint8_t* input, std::size_t length,
               const std::uint32_t table[sign_hash_table_words]) {
    const std::uint32_t* round_constants = table;
    std::uint32_t state[8];
    for (int i = 0; i < 8; ++i) state[i] = table[64 + i];

    std::size_t left = length;
    while (left > 64) {
        compress(state, input, round_constants);
        input += 64;
        left -= 64;
    }
    std::uint8_t tail[128] = {};
    for (std::size_t i = 0; i < left; ++i) tail[i] = input[i];
    tail[left] = 0x80;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    std::uint8_t* length_field = left <= 55 ? tail + 56 : tail + 120;
    for (int i = 0; i < 8; ++i) length_field[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    compress(state, tail, round_constants);
    if (left > 55) compress(state, tail + 64, round_constants);

    for (int i = 0; i < 8; ++i) {
        output[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
        output[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
        output[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
        output[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
    }
}

void sign_hash(std::uint8_t output[32], const std::uint8_t* input, std::size_t length) {
    sign_hash(output, input, length, builtin_keys().table);
}

}  // namespace verify
