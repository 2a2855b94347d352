// The signing side of qpk: the signer against the shared vectors and the
// installer's own check, and its key files.
#include <gtest/gtest.h>

#include <cstring>

#include "signing/signer.h"
#include "support/sample_packages.h"
#include "verify/signature.h"
#include "verify/vectors.h"

using namespace test_vectors;

TEST(SigningTest, TheDevelopmentPairSignsAsTheVectorsSay) {
    signing::private_keys priv, negated, other_table;
    verify::public_keys pub, derived;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(samples::development_private_key, priv, error)) << error;
    ASSERT_TRUE(signing::read_public_key_file(samples::development_public_key, pub, error) && signing::public_keys_of(priv, derived));
    const verify::public_keys vector_keys = package_vector_keys();
    EXPECT_TRUE(std::memcmp(&derived, &pub, sizeof pub) == 0 && std::memcmp(&vector_keys, &pub, sizeof pub) == 0);
    const auto sig = load_vectors("signature.txt");
    EXPECT_EQ(to_hex(priv.curve25519_private, 32), section_field(sig, "key", "private"));
    int reproduced = 0;
    for (const auto& v : sig.at("signature")) {
        std::vector<std::uint8_t> out;
        if (v.has("k") && ++reproduced) {
            ASSERT_TRUE(signing::sign_digest(priv, from_hex(v.at("digest")).data(), 1, out, from_hex(v.at("k")).data()));
            EXPECT_EQ(to_hex(out), v.at("signature"));
        }
    }
    EXPECT_GE(reproduced, 4);
    // An odd private scalar a is negated to l - a: the same public key, and
    // signatures that hold. Another table makes another signer.
    const auto l = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    negated = other_table = priv;
    for (int i = 0, borrow = 0, d = 0; i < 32; ++i, borrow = d < 0)
        negated.curve25519_private[i] = static_cast<std::uint8_t>((d = l[i] - priv.curve25519_private[i] - borrow) & 0xFF);
    ASSERT_TRUE(signing::public_keys_of(negated, derived));
    EXPECT_EQ(0, std::memcmp(derived.curve25519_public, pub.curve25519_public, 32));
    other_table.table[3] ^= 1;
    const std::uint8_t digest[32] = {1, 2, 3};
    for (const auto& [keys, level] : {std::pair{&negated, 1}, std::pair{&other_table, 0}}) {
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(signing::sign_digest(*keys, digest, 1, out));
        EXPECT_EQ(verify::signature_level(digest, out.data(), out.size(), pub), level);
    }
}

TEST(SigningTest, KeyFilesRoundTripAndRejections) {
    signing::private_keys priv, priv_again;
    verify::public_keys pub, pub_again;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(samples::development_private_key, priv, error) && signing::public_keys_of(priv, pub));
    ASSERT_TRUE(signing::parse_private_keys(signing::format_private_keys(priv), priv_again, error)) << error;
    const std::string good = signing::format_public_keys(pub);
    ASSERT_TRUE(signing::parse_public_keys("# keys\n\n" + good + "\n# end\n", pub_again, error)) << error;
    EXPECT_TRUE(std::memcmp(&priv, &priv_again, sizeof priv) == 0 && std::memcmp(&pub, &pub_again, sizeof pub) == 0);
    EXPECT_FALSE(signing::parse_private_keys(good, priv_again, error));  // a public file is not a private one
    const auto replace = [&](const std::string& from, const std::string& to) { return std::string(good).replace(good.find(from), from.size(), to); };
    for (const std::string& bad : {std::string(), good + "eddsa_public=00\n", good + "colour=blue\n", replace("eddsa_public=", "eddsa_private_seed="),
                                   replace("curve25519_public=1c", "curve25519_public="), replace("curve25519_public=1c", "curve25519_public=1g"),
                                   replace("table=ca273ece ", "table="), replace("table=ca273ece", "table=ca273ec"), good + "just words\n"}) {
        error.clear();
        EXPECT_TRUE(!signing::parse_public_keys(bad, pub_again, error) && !error.empty()) << bad;
    }
}
