// The signature level of a signature part's bytes: EdDSA first (level 2),
// then the Curve25519 check (level 1).
#include "verify/signature.h"

#include <gtest/gtest.h>

#include <functional>

#include "signing/key_file.h"
#include "signing/signer.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

using test_vectors::from_hex;

TEST(SignatureTest, LevelOfTheSignatureBytes) {
    signing::private_keys priv, other_priv;
    verify::public_keys pub, other_pub;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(samples::development_private_key, priv, error)) << error;
    ASSERT_TRUE(signing::public_keys_of(priv, pub));
    ASSERT_TRUE(signing::generate_private_keys(priv.table, other_priv) && signing::public_keys_of(other_priv, other_pub));
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(7 * i + 1);
    std::vector<std::uint8_t> full;
    ASSERT_TRUE(signing::sign_digest(priv, digest, 2, full));
    ASSERT_EQ(full.size(), 132u);

    using bytes = std::vector<std::uint8_t>;
    const auto flip = [](std::vector<std::size_t> at, std::uint8_t mask = 0x04) {
        return [=](bytes& sig, std::uint8_t*) { for (std::size_t i : at) sig[i] ^= mask; };
    };
    const struct {
        const char* what;
        std::function<void(bytes& sig, std::uint8_t* digest)> change;
        std::size_t length;  // of the bytes given to the check
        int level;
        const verify::public_keys* keys;
    } rows[] = {
        {"whole", nullptr, 132, 2, &pub},
        {"bytes 0-19 and past 132 are not examined", flip({0, 7, 19, 132}, 0xA5), 133, 2, &pub},
        {"EdDSA is tried first", flip({20, 35, 36, 67}), 132, 2, &pub},
        {"a broken EdDSA signature falls back", flip({68}), 132, 1, &pub},
        {"a broken EdDSA signature, at its end", flip({131}), 132, 1, &pub},
        {"both broken", flip({40, 100}), 132, 0, &pub},
        {"131 bytes: Curve25519 only", nullptr, 131, 1, &pub},
        {"68 bytes", nullptr, 68, 1, &pub},
        {"67 bytes", nullptr, 67, 0, &pub},
        {"the last digest byte is Curve25519's to ignore", [](bytes&, std::uint8_t* d) { d[31] ^= 1; }, 132, 1, &pub},
        {"an early digest byte", [](bytes&, std::uint8_t* d) { d[3] ^= 1; }, 132, 0, &pub},
        {"another key pair", nullptr, 132, 0, &other_pub},
    };
    for (const auto& r : rows) {
        bytes sig = full;
        sig.resize(133, 0x5A);
        std::uint8_t d[32];
        std::copy_n(digest, 32, d);
        if (r.change) r.change(sig, d);
        EXPECT_EQ(verify::signature_level(d, sig.data(), r.length, *r.keys), r.level) << r.what;
    }
    EXPECT_EQ(verify::signature_level(digest, nullptr, 132, pub), 0);
    if (test_vectors::build_has_vector_keys()) {
        EXPECT_EQ(verify::signature_level(digest, full.data(), 132), 2);
    }

    // The shared level-1 vectors: as 68-byte parts, and as 132-byte parts
    // whose EdDSA bytes are no signature.
    const auto vectors = test_vectors::load_vectors("signature.txt");
    for (const auto& v : vectors.at("signature")) {
        const auto d = from_hex(v.at("digest"));
        auto sig = from_hex(v.at("signature"));
        const int expected = v.at("valid") == "1";
        EXPECT_EQ(verify::signature_level(d.data(), sig.data(), sig.size(), pub), expected) << v.line;
        sig.resize(132, 0x5A);
        EXPECT_EQ(verify::signature_level(d.data(), sig.data(), sig.size(), pub), expected) << v.line;
    }
}
