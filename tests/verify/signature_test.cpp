// The signature level of a signature part's bytes: EdDSA first (level 2), then the Curve25519 check (level 1).
#include "verify/signature.h"

#include <gtest/gtest.h>

#include "signing/signer.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

TEST(SignatureTest, LevelOfTheSignatureBytes) {
    signing::private_keys priv, other_priv;
    verify::public_keys pub = test_vectors::package_vector_keys(), other;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(samples::development_private_key, priv, error)) << error;
    ASSERT_TRUE(signing::generate_private_keys(priv.table, other_priv) && signing::public_keys_of(other_priv, other));
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(7 * i + 1);
    std::vector<std::uint8_t> full;
    ASSERT_TRUE(signing::sign_digest(priv, digest, 2, full) && full.size() == 132);
    const struct {
        std::vector<std::size_t> flipped;  // signature bytes changed; 200 + i: digest byte i
        std::size_t length;               // of the bytes given to the check
        int level;
    } rows[] = {{{}, 132, 2},        {{0, 7, 19, 132}, 133, 2}, {{20, 35, 36, 67}, 132, 2}, {{68}, 132, 1}, {{131}, 132, 1},
                {{40, 100}, 132, 0}, {{}, 131, 1},              {{}, 68, 1},                {{}, 67, 0},     {{231}, 132, 1},
                {{203}, 132, 0}};
    for (const auto& r : rows) {
        std::vector<std::uint8_t> sig = full;
        std::uint8_t d[32];
        std::copy_n(digest, 32, d);
        sig.push_back(0x5A);
        for (std::size_t at : r.flipped) (at >= 200 ? d[at - 200] : sig[at]) ^= 0x04;
        EXPECT_EQ(verify::signature_level(d, sig.data(), r.length, pub), r.level) << r.flipped.size() << " " << r.length;
    }
    EXPECT_EQ(verify::signature_level(digest, full.data(), 132, other), 0);
    EXPECT_EQ(verify::signature_level(digest, nullptr, 132, pub), 0);
    if (test_vectors::build_has_vector_keys()) { EXPECT_EQ(verify::signature_level(digest, full.data(), 132), 2); }
    // The shared level-1 vectors: as 68-byte parts, and as 132-byte parts whose EdDSA bytes are no signature.
    const auto vectors = test_vectors::load_vectors("signature.txt");
    for (const auto& v : vectors.at("signature")) {
        const auto d = test_vectors::from_hex(v.at("digest"));
        auto sig = test_vectors::from_hex(v.at("signature"));
        const int expected = v.at("valid") == "1";
        EXPECT_EQ(verify::signature_level(d.data(), sig.data(), sig.size(), pub), expected) << v.line;
        sig.resize(132, 0x5A);
        EXPECT_EQ(verify::signature_level(d.data(), sig.data(), sig.size(), pub), expected) << v.line;
    }
}
