#include <gtest/gtest.h>

#include <cstring>

#include "signing/key_file.h"
#include "signing/signer.h"
#include "verify/signature.h"
#include "verify/vectors.h"

using namespace test_vectors;

namespace {

signing::private_keys development_private() {
    signing::private_keys keys;
    std::string error;
    if (!signing::read_private_key_file(std::string(SOURCE_DIR) + "/keys/development.private", keys, error)) {
        throw std::runtime_error(error);
    }
    return keys;
}

verify::public_keys development_public() {
    verify::public_keys keys;
    std::string error;
    if (!signing::read_public_key_file(std::string(SOURCE_DIR) + "/keys/development.public", keys, error)) {
        throw std::runtime_error(error);
    }
    return keys;
}

}  // namespace

// The development pair is the shared test key pair: the public file is what
// the private one derives, and both match the vectors' keys and table.
TEST(SignerTest, DevelopmentPairMatchesItselfAndTheVectors) {
    const auto priv = development_private();
    const auto pub = development_public();
    verify::public_keys derived;
    ASSERT_TRUE(signing::public_keys_of(priv, derived));
    EXPECT_EQ(to_hex(derived.eddsa_public, 32), to_hex(pub.eddsa_public, 32));
    EXPECT_EQ(to_hex(derived.curve25519_public, 32), to_hex(pub.curve25519_public, 32));
    EXPECT_EQ(0, std::memcmp(derived.table, pub.table, sizeof pub.table));

    const auto sig = load_vectors("signature.txt");
    const auto pkg = load_vectors("packages.txt");
    EXPECT_EQ(to_hex(priv.curve25519_private, 32), section_field(sig, "key", "private"));
    EXPECT_EQ(to_hex(pub.curve25519_public, 32), section_field(sig, "key", "public"));
    EXPECT_EQ(to_hex(priv.eddsa_seed, 32), section_field(pkg, "keys", "eddsa_private_seed"));
    EXPECT_EQ(to_hex(pub.eddsa_public, 32), section_field(pkg, "keys", "eddsa_public"));
    EXPECT_EQ(to_hex(pub.curve25519_public, 32), section_field(pkg, "keys", "curve25519_public"));
    const auto table = vector_table(sig);
    ASSERT_EQ(table.size(), verify::sign_hash_table_words);
    EXPECT_EQ(0, std::memcmp(table.data(), pub.table, sizeof pub.table));

    // A build configured with the development file carries exactly its keys.
    if (std::string(verify::builtin_key_file()) == std::string(SOURCE_DIR) + "/keys/development.public") {
        EXPECT_EQ(0, std::memcmp(&verify::builtin_keys(), &pub, sizeof pub));
    }
}

TEST(SignerTest, ReproducesTheVectorSignaturesFromTheirNonce) {
    const auto vectors = load_vectors("signature.txt");
    const auto priv = development_private();
    int reproduced = 0;
    for (const auto& v : vectors.at("signature")) {
        if (!v.has("k")) continue;
        const auto digest = from_hex(v.at("digest"));
        const auto k = from_hex(v.at("k"));
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(signing::sign_digest(priv, digest.data(), 1, out, k.data()));
        EXPECT_EQ(to_hex(out), v.at("signature"));
        ++reproduced;
    }
    EXPECT_GE(reproduced, 4);
}

TEST(SignerTest, LevelsOfASignaturePart) {
    const auto priv = development_private();
    const auto pub = development_public();
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(7 * i + 1);

    std::vector<std::uint8_t> full;
    ASSERT_TRUE(signing::sign_digest(priv, digest, 2, full));
    ASSERT_EQ(full.size(), 132u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(full[i], 0) << i;
    EXPECT_EQ(verify::signature_level(digest, full.data(), full.size(), pub), 2);

    // Bytes 0-19 are not examined, nor anything past 132.
    auto noisy = full;
    for (int i = 0; i < 20; ++i) noisy[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    noisy.insert(noisy.end(), {1, 2, 3});
    EXPECT_EQ(verify::signature_level(digest, noisy.data(), noisy.size(), pub), 2);

    // A broken EdDSA signature still reaches 1 through the Curve25519 one.
    for (std::size_t at : {68u, 100u, 131u}) {
        auto broken = full;
        broken[at] ^= 0x01;
        EXPECT_EQ(verify::signature_level(digest, broken.data(), broken.size(), pub), 1) << at;
    }
    // EdDSA is tried first: a broken Curve25519 part does not lower 2.
    auto curve_broken = full;
    curve_broken[40] ^= 0x80;
    EXPECT_EQ(verify::signature_level(digest, curve_broken.data(), curve_broken.size(), pub), 2);
    // Both broken.
    curve_broken[70] ^= 0x80;
    EXPECT_EQ(verify::signature_level(digest, curve_broken.data(), curve_broken.size(), pub), 0);

    // Fewer than 132 bytes: only the Curve25519 signature is looked at.
    EXPECT_EQ(verify::signature_level(digest, full.data(), 131, pub), 1);
    EXPECT_EQ(verify::signature_level(digest, full.data(), 68, pub), 1);
    EXPECT_EQ(verify::signature_level(digest, full.data(), 67, pub), 0);
    EXPECT_EQ(verify::signature_level(digest, full.data(), 0, pub), 0);
    EXPECT_EQ(verify::signature_level(digest, nullptr, 132, pub), 0);

    std::vector<std::uint8_t> short_part;
    ASSERT_TRUE(signing::sign_digest(priv, digest, 1, short_part));
    ASSERT_EQ(short_part.size(), 68u);
    EXPECT_EQ(verify::signature_level(digest, short_part.data(), short_part.size(), pub), 1);

    // Any change of the digest fails both, even in the bytes SHA-1 leaves
    // alone: EdDSA signs all 32.
    std::uint8_t other[32];
    std::memcpy(other, digest, 32);
    other[31] ^= 1;
    EXPECT_EQ(verify::signature_level(other, full.data(), full.size(), pub), 1)
        << "the Curve25519 signature covers only the first 20 bytes";
    other[31] ^= 1;
    other[3] ^= 1;
    EXPECT_EQ(verify::signature_level(other, full.data(), full.size(), pub), 0);
}

TEST(SignerTest, AnotherKeyPairDoesNotVerify) {
    const auto dev = development_private();
    const auto dev_pub = development_public();
    signing::private_keys other;
    ASSERT_TRUE(signing::generate_private_keys(dev.table, other));
    verify::public_keys other_pub;
    ASSERT_TRUE(signing::public_keys_of(other, other_pub));
    EXPECT_NE(to_hex(other_pub.curve25519_public, 32), to_hex(dev_pub.curve25519_public, 32));

    std::uint8_t digest[32] = {9, 8, 7};
    std::vector<std::uint8_t> sig;
    ASSERT_TRUE(signing::sign_digest(other, digest, 2, sig));
    EXPECT_EQ(verify::signature_level(digest, sig.data(), sig.size(), other_pub), 2);
    EXPECT_EQ(verify::signature_level(digest, sig.data(), sig.size(), dev_pub), 0);

    // The same key but another sign_hash table is another signer too.
    auto other_table = dev;
    other_table.table[3] ^= 1;
    ASSERT_TRUE(signing::sign_digest(other_table, digest, 1, sig));
    EXPECT_EQ(verify::signature_level(digest, sig.data(), sig.size(), dev_pub), 0);
}

TEST(SignerTest, OddPrivateScalarIsNegatedToTheEvenPoint) {
    // l - a has the same x-coordinate as a but the other y: the signer must
    // end up with the same public key and valid signatures either way.
    auto priv = development_private();
    const auto pub = development_public();
    const auto l = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    int borrow = 0;
    for (int i = 0; i < 32; ++i) {
        const int d = l[i] - priv.curve25519_private[i] - borrow;
        priv.curve25519_private[i] = static_cast<std::uint8_t>(d & 0xFF);
        borrow = d < 0;
    }
    verify::public_keys derived;
    ASSERT_TRUE(signing::public_keys_of(priv, derived));
    EXPECT_EQ(to_hex(derived.curve25519_public, 32), to_hex(pub.curve25519_public, 32));
    std::uint8_t digest[32] = {1};
    std::vector<std::uint8_t> sig;
    ASSERT_TRUE(signing::sign_digest(priv, digest, 1, sig));
    EXPECT_EQ(verify::signature_level(digest, sig.data(), sig.size(), pub), 1);
}

TEST(KeyFileTest, RoundTripAndRejections) {
    const auto priv = development_private();
    signing::private_keys again;
    std::string error;
    ASSERT_TRUE(signing::parse_private_keys(signing::format_private_keys(priv), again, error)) << error;
    EXPECT_EQ(0, std::memcmp(&priv, &again, sizeof priv));

    const auto pub = development_public();
    verify::public_keys pub_again;
    ASSERT_TRUE(signing::parse_public_keys(signing::format_public_keys(pub), pub_again, error)) << error;
    EXPECT_EQ(0, std::memcmp(&pub, &pub_again, sizeof pub));

    const std::string good = signing::format_public_keys(pub);
    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string bad[] = {
        "",                                                   // everything missing
        good + "eddsa_public=00\n",                           // repeated
        good + "colour=blue\n",                               // unknown
        replace("eddsa_public=", "eddsa_private_seed="),      // a private key
        replace("curve25519_public=1c", "curve25519_public="),  // 31 bytes
        replace("curve25519_public=1c", "curve25519_public=1g"),  // not hex
        replace("table=ca273ece ", "table="),                 // 71 words
        replace("table=ca273ece", "table=ca273ec"),           // short word
        good + "just words\n",                                // not name=hex
    };
    for (const auto& text : bad) {
        verify::public_keys k;
        error.clear();
        EXPECT_FALSE(signing::parse_public_keys(text, k, error)) << text;
        EXPECT_FALSE(error.empty());
    }
    // Comments and blank lines are fine.
    ASSERT_TRUE(signing::parse_public_keys("# keys\n\n" + good + "\n# end\n", pub_again, error)) << error;
    // A public file is not a private one.
    signing::private_keys k;
    EXPECT_FALSE(signing::parse_private_keys(good, k, error));
}
