// The level-1 check against the shared known answers: sign_hash, the joint
// ladder and whole signatures, valid and invalid.
#include "verify/curve25519_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "verify/vectors.h"

using namespace test_vectors;

TEST(Curve25519CheckTest, SharedKnownAnswers) {
    const auto vectors = load_vectors("signature.txt");
    const auto table = vector_table(vectors);
    ASSERT_EQ(table.size(), verify::sign_hash_table_words);
    verify::public_keys keys{};
    std::memcpy(keys.table, table.data(), sizeof keys.table);
    std::memcpy(keys.curve25519_public, from_hex(section_field(vectors, "key", "public")).data(), 32);

    ASSERT_GE(vectors.at("sign_hash").size(), 10u);  // every length class of the padding
    for (const auto& v : vectors.at("sign_hash")) {
        const auto input = from_hex(v.at("input"));
        std::uint8_t out[32];
        verify::sign_hash(out, input.data(), input.size(), table.data());
        EXPECT_EQ(to_hex(out, 32), v.at("output")) << "length " << input.size();
    }

    verify::lifted_key key;
    ASSERT_TRUE(verify::lift_public_key(key, keys.curve25519_public));
    ASSERT_GE(vectors.at("ladder").size(), 12u);
    for (const auto& v : vectors.at("ladder")) {
        std::uint8_t x[32];
        verify::joint_ladder(x, from_hex(v.at("s")).data(), from_hex(v.at("e")).data(), key);
        EXPECT_EQ(to_hex(x, 32), v.at("x")) << v.line;
    }

    int valid = 0, invalid = 0;
    for (const auto& v : vectors.at("signature")) {
        const auto digest = from_hex(v.at("digest")), sig = from_hex(v.at("signature"));
        ASSERT_EQ(sig.size(), 68u);
        const bool expected = v.at("valid") == "1";
        EXPECT_EQ(verify::curve25519_check(digest.data(), sig.data() + 20, sig.data() + 36, keys), expected) << v.line;
        (expected ? valid : invalid)++;
    }
    EXPECT_GT(valid, 0);
    EXPECT_GT(invalid, 0);
}
