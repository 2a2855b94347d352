// The level-1 check: the shared known answers of sign_hash, the joint ladder and whole signatures, valid and invalid;
// and the lift of the public key.
#include "verify/curve25519_check.h"

#include <gtest/gtest.h>

#include "verify/vectors.h"

using namespace test_vectors;

TEST(Curve25519CheckTest, SharedKnownAnswers) {
    const auto vectors = load_vectors("signature.txt");
    ASSERT_GE(section_of(vectors, "sign_hash").size(), 10u);
    ASSERT_GE(section_of(vectors, "ladder").size(), 12u);
    verify::public_keys keys = package_vector_keys();  // with the table of this file
    std::memcpy(keys.curve25519_public, hex_bytes(merged(vectors, "key").at("public")).data(), 32);
    for (const auto& v : section_of(vectors, "sign_hash")) {
        const auto input = hex_bytes(v.at("input"));
        std::uint8_t out[32];
        verify::sign_hash(out, input.data(), input.size(), keys.table);
        EXPECT_EQ(test_bytes::to_hex(out, 32), v.at("output")) << "length " << input.size();
    }
    verify::lifted_key key;
    ASSERT_TRUE(verify::lift_public_key(key, keys.curve25519_public));
    for (const auto& v : section_of(vectors, "ladder")) {
        std::uint8_t x[32];
        verify::joint_ladder(x, hex_bytes(v.at("s")).data(), hex_bytes(v.at("e")).data(), key);
        EXPECT_EQ(test_bytes::to_hex(x, 32), v.at("x")) << v.at("s");
    }
    std::size_t valid = 0;
    for (const auto& v : section_of(vectors, "signature")) {
        const auto digest = hex_bytes(v.at("digest"));
        const auto sig = hex_bytes(v.at("signature"));
        valid += v.at("valid") == "1";
        const bool holds = verify::curve25519_check(digest.data(), sig.data() + 20, sig.data() + 36, keys);
        EXPECT_EQ(holds, v.at("valid") == "1") << v.at("signature");
    }
    EXPECT_GT(valid, 0u);
    EXPECT_LT(valid, section_of(vectors, "signature").size());
}

// The lift takes the even square root of w = x^3 + 486662 x^2 + x, and refuses an x without a point and the base
// point's own x (9), where the ladder would divide by zero.
TEST(Curve25519CheckTest, KeyLiftSquareRoot) {
    int lifted = 0;
    for (std::uint8_t x = 1; x < 60; ++x) {
        const std::uint8_t xb[32] = {x};
        verify::lifted_key key;
        if (!verify::lift_public_key(key, xb)) continue;
        ++lifted;
        verify::field_element y2;
        verify::field_element w;
        verify::fe_sq(y2, key.y);
        verify::fe_set(w, x * x * x + 486662 * x * x + x);
        EXPECT_TRUE(verify::fe_equal(y2, w) && !verify::fe_is_odd(key.y) && x != 9) << int(x);
    }
    EXPECT_TRUE(lifted > 5 && lifted < 50);
}
