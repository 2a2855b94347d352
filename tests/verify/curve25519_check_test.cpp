#include <gtest/gtest.h>

#include <cstring>

#include "verify/curve25519_check.h"
#include "verify/vectors.h"

using namespace test_vectors;

namespace {

verify::public_keys vector_keys(const vector_file& f) {
    verify::public_keys keys{};
    const auto table = vector_table(f);
    std::memcpy(keys.table, table.data(), sizeof keys.table);
    const auto x = from_hex(section_field(f, "key", "public"));
    std::memcpy(keys.curve25519_public, x.data(), 32);
    return keys;
}

}  // namespace

TEST(Curve25519CheckTest, LadderKnownAnswers) {
    const auto vectors = load_vectors("signature.txt");
    const auto keys = vector_keys(vectors);
    verify::lifted_key key;
    ASSERT_TRUE(verify::lift_public_key(key, keys.curve25519_public));
    ASSERT_GE(vectors.at("ladder").size(), 12u);
    for (const auto& v : vectors.at("ladder")) {
        const auto s = from_hex(v.at("s"));
        const auto e = from_hex(v.at("e"));
        std::uint8_t x[32];
        verify::joint_ladder(x, s.data(), e.data(), key);
        EXPECT_EQ(to_hex(x, 32), v.at("x")) << v.line;
    }
}

TEST(Curve25519CheckTest, SignatureKnownAnswers) {
    const auto vectors = load_vectors("signature.txt");
    const auto keys = vector_keys(vectors);
    int valid = 0, invalid = 0;
    for (const auto& v : vectors.at("signature")) {
        const auto digest = from_hex(v.at("digest"));
        const auto sig = from_hex(v.at("signature"));
        ASSERT_EQ(digest.size(), 32u);
        ASSERT_EQ(sig.size(), 68u);
        const bool expected = v.at("valid") == "1";
        EXPECT_EQ(verify::curve25519_check(digest.data(), sig.data() + 20, sig.data() + 36, keys), expected)
            << v.line;
        (expected ? valid : invalid)++;
    }
    EXPECT_GT(valid, 0);
    EXPECT_GT(invalid, 0);
}
