// The signing side of qpk: the signer reproduces the shared vectors and makes what the installer's check takes; its key files
// read back, and refuse what they cannot hold.
#include <gtest/gtest.h>

#include <cstring>

#include "signing/signer.h"
#include "support/sample_packages.h"
#include "verify/signature.h"
#include "verify/vectors.h"

using namespace test_vectors;

TEST(SigningTest, SignerAndKeyFiles) {
    signing::private_keys priv, negated, again;
    verify::public_keys pub, derived;
    std::string error;
    ASSERT_TRUE(signing::read_private_key_file(samples::development_private_key, priv, error) && signing::public_keys_of(priv, pub)) << error;
    const verify::public_keys vector_keys = package_vector_keys();
    EXPECT_EQ(std::memcmp(&vector_keys, &pub, sizeof pub), 0);
    const auto sig = load_vectors("signature.txt");
    for (const auto& v : sig.at("signature")) {
        std::vector<std::uint8_t> out;
        if (v.has("k")) { EXPECT_TRUE(signing::sign_digest(priv, from_hex(v.at("digest")).data(), 1, out, from_hex(v.at("k")).data()) && to_hex(out) == v.at("signature")); }
    }
    // An odd private scalar a is negated to l - a: the same public key, signatures that hold.
    const auto l = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    negated = priv;
    for (int i = 0, borrow = 0, d = 0; i < 32; ++i, borrow = d < 0) negated.curve25519_private[i] = static_cast<std::uint8_t>((d = l[i] - priv.curve25519_private[i] - borrow) & 0xFF);
    const std::uint8_t digest[32] = {1, 2, 3};
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(signing::public_keys_of(negated, derived) && signing::sign_digest(negated, digest, 1, out));
    EXPECT_TRUE(std::memcmp(derived.curve25519_public, pub.curve25519_public, 32) == 0 && verify::signature_level(digest, out.data(), out.size(), pub) == 1);

    const std::string good = signing::format_public_keys(pub);
    ASSERT_TRUE(signing::parse_private_keys(signing::format_private_keys(priv), again, error) && signing::parse_public_keys("# keys\n\n" + good, derived, error)) << error;
    EXPECT_TRUE(std::memcmp(&priv, &again, sizeof priv) == 0 && std::memcmp(&pub, &derived, sizeof pub) == 0 && !signing::parse_private_keys(good, again, error));
    const auto replace = [&](const std::string& from, const std::string& to) { return std::string(good).replace(good.find(from), from.size(), to); };
    for (const std::string& bad : {std::string(), good + "eddsa_public=00\n", good + "colour=blue\n", replace("eddsa_public=", "eddsa_private_seed="),
                                   replace("curve25519_public=1c", "curve25519_public="), replace("curve25519_public=1c", "curve25519_public=1g"),
                                   replace("table=ca273ece ", "table="), good + "just words\n"})
        EXPECT_TRUE(!signing::parse_public_keys(bad, derived, (error.clear(), error)) && !error.empty()) << bad;
}
