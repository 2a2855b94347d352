#include <gtest/gtest.h>

#include <cstring>

#include "verify/builtin_keys.h"
#include "verify/sign_hash.h"
#include "verify/vectors.h"

using namespace test_vectors;

namespace {

// floor(cbrt(n) * 2^32) and floor(sqrt(n) * 2^32), exactly, by bisection on
// 128-bit integers: the first 32 fractional bits are the low word.
std::uint32_t root_fraction(unsigned n, int degree) {
    using u128 = unsigned __int128;
    const u128 target = static_cast<u128>(n) << (32 * degree);
    std::uint64_t lo = 0, hi = std::uint64_t{1} << 40;
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        u128 power = 1;
        for (int i = 0; i < degree; ++i) power *= mid;
        (power <= target ? lo : hi) = mid;
    }
    return static_cast<std::uint32_t>(lo);
}

std::vector<unsigned> primes(std::size_t count) {
    std::vector<unsigned> out;
    for (unsigned n = 2; out.size() < count; ++n) {
        bool prime = true;
        for (unsigned d = 2; d * d <= n; ++d) prime = prime && n % d != 0;
        if (prime) out.push_back(n);
    }
    return out;
}

}  // namespace

// The development table is the one the shared vectors describe: round
// constants from the cube roots of the 65th to 128th primes, initial values
// from the square roots of the 9th to 16th.
TEST(SignHashTest, VectorTableIsTheDescribedOne) {
    const auto table = vector_table(load_vectors("signature.txt"));
    ASSERT_EQ(table.size(), verify::sign_hash_table_words);
    const auto p = primes(128);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(table[i], root_fraction(p[64 + i], 3)) << i;
    for (int j = 0; j < 8; ++j) EXPECT_EQ(table[64 + j], root_fraction(p[8 + j], 2)) << j;
}

// Every length class of the padding: empty, one block, exactly 55, 56, 63,
// 64 and 65 bytes, several blocks.
TEST(SignHashTest, KnownAnswers) {
    const auto vectors = load_vectors("signature.txt");
    const auto table = vector_table(vectors);
    ASSERT_GE(vectors.at("sign_hash").size(), 10u);
    for (const auto& v : vectors.at("sign_hash")) {
        const auto input = from_hex(v.at("input"));
        std::uint8_t out[32];
        verify::sign_hash(out, input.data(), input.size(), table.data());
        EXPECT_EQ(to_hex(out, 32), v.at("output")) << "length " << input.size();
    }
}

TEST(SignHashTest, BuiltInTableIsUsedByTheShortForm) {
    const auto& keys = verify::builtin_keys();
    const std::uint8_t input[20] = {1, 2, 3};
    std::uint8_t a[32], b[32];
    verify::sign_hash(a, input, sizeof input);
    verify::sign_hash(b, input, sizeof input, keys.table);
    EXPECT_EQ(0, std::memcmp(a, b, 32));
}
