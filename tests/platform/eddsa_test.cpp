#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "platform/eddsa.h"

namespace {

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

asn1::blob blob(const std::vector<std::uint8_t>& v) { return asn1::blob(v.data(), v.size()); }

}  // namespace

// The first two test vectors of RFC 8032 (Ed25519): an empty and a one-byte message.
TEST(EddsaTest, PublishedVectors) {
    const auto key1 = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    const auto sig1 = hex(
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    const std::vector<std::uint8_t> empty;
    EXPECT_NE(eddsa::verify(blob(key1), blob(empty), blob(sig1)), 0);

    const auto key2 = hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    const auto msg2 = hex("72");
    const auto sig2 = hex(
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
    EXPECT_NE(eddsa::verify(blob(key2), blob(msg2), blob(sig2)), 0);

    // Crossed keys and messages fail.
    EXPECT_EQ(eddsa::verify(blob(key2), blob(empty), blob(sig1)), 0);
    EXPECT_EQ(eddsa::verify(blob(key1), blob(msg2), blob(sig2)), 0);
}

// A 32-byte message (the digest buffer) signed here with OpenSSL: every
// single-bit change of key, message or signature fails, and so do wrong sizes.
TEST(EddsaTest, AnyChangeFails) {
    const auto seed = hex("b4fad95fdd6c11c7dd3465f9a40ff93334fe87c7a33310595cbf1c2d1eb675d6");
    std::vector<std::uint8_t> message(32);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 13);
    EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    ASSERT_NE(pkey, nullptr);
    std::vector<std::uint8_t> key(32), sig(64);
    std::size_t n = key.size();
    ASSERT_EQ(EVP_PKEY_get_raw_public_key(pkey, key.data(), &n), 1);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey), 1);
    n = sig.size();
    ASSERT_EQ(EVP_DigestSign(ctx, sig.data(), &n, message.data(), message.size()), 1);
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    EXPECT_EQ(key, hex("d3575d53bd0d5c066398e3754118f4444a1412231827306523572a0423e2cfe6"));

    ASSERT_NE(eddsa::verify(blob(key), blob(message), blob(sig)), 0);
    for (auto* v : {&key, &message, &sig}) {
        for (std::size_t i = 0; i < v->size(); i += 5) {
            (*v)[i] ^= 0x04;
            EXPECT_EQ(eddsa::verify(blob(key), blob(message), blob(sig)), 0) << i;
            (*v)[i] ^= 0x04;
        }
    }
    EXPECT_EQ(eddsa::verify(asn1::blob(key.data(), 31), blob(message), blob(sig)), 0);
    EXPECT_EQ(eddsa::verify(blob(key), asn1::blob(message.data(), 31), blob(sig)), 0);
    EXPECT_EQ(eddsa::verify(blob(key), blob(message), asn1::blob(sig.data(), 63)), 0);
    EXPECT_EQ(eddsa::verify(asn1::blob(), blob(message), blob(sig)), 0);
    EXPECT_EQ(eddsa::verify(blob(key), blob(message), asn1::blob()), 0);
    // The blob spans start to end.
    EXPECT_EQ(asn1::blob(sig.data(), sig.data() + 64).size(), 64u);
}
