#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <sstream>

#include "verify/signature.h"
#include "verify/vectors.h"

using namespace test_vectors;

namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The signature levels of a whole package file, with the digest formed the
// way the package stream forms it: the running hash (SHA-1, or SHA-256
// from a type-25 part on) restarts at every type-1 part header and covers
// everything up to and including the signature part's header; the
// signature bytes themselves are not hashed. Written independently of the
// stream so that the check's inputs can be confirmed against the vectors.
std::vector<int> levels_of_file(const std::vector<std::uint8_t>& file, const verify::public_keys& keys) {
    std::vector<int> levels;
    EVP_MD_CTX* sha1 = EVP_MD_CTX_new();
    EVP_MD_CTX* sha256 = EVP_MD_CTX_new();
    EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr);
    EVP_DigestInit_ex(sha256, EVP_sha256(), nullptr);
    EVP_MD_CTX* running = sha1;
    std::uint8_t digest[32] = {};
    auto finish = [&] {
        unsigned int n = 0;
        EVP_DigestFinal_ex(running, digest, &n);
        EVP_DigestInit_ex(running, running == sha1 ? EVP_sha1() : EVP_sha256(), nullptr);
    };
    std::size_t at = 8;
    while (at + 6 <= file.size()) {
        const std::uint8_t* header = file.data() + at;
        const unsigned type = header[0] | header[1] << 8;
        const std::uint32_t length = le32(header + 2);
        if (type == 25) running = sha256;
        if (type == 1) finish();
        EVP_DigestUpdate(running, header, 6);
        at += 6;
        std::uint32_t hashed_from = 0;
        if (type == 9) {
            finish();
            const std::size_t n = length >= 132 ? 132 : length >= 68 ? 68 : 0;
            levels.push_back(verify::signature_level(digest, file.data() + at, n, keys));
            hashed_from = static_cast<std::uint32_t>(n);
        }
        EVP_DigestUpdate(running, file.data() + at + hashed_from, length - hashed_from);
        at += length;
    }
    EVP_MD_CTX_free(sha1);
    EVP_MD_CTX_free(sha256);
    return levels;
}

}  // namespace

// The shared package files, signed by an independent writer, reach their
// listed levels: this pins the EdDSA message (all 32 bytes of the digest
// buffer, SHA-1's unused 12 zero) and the Curve25519 check together.
TEST(SignatureTest, PackageVectorsReachTheirLevels) {
    const auto keys = package_vector_keys();
    const auto vectors = load_vectors("packages.txt");
    // Each file= line follows its level= line.
    std::vector<std::pair<std::string, std::string>> files;
    std::string level;
    for (const auto& [name, records] : vectors) {
        for (const auto& r : records) {
            if (r.has("level")) level = r.at("level");
            if (r.has("file")) files.emplace_back(level, r.at("file"));
        }
    }
    ASSERT_EQ(files.size(), 5u);
    for (const auto& [levels, hex] : files) {
        std::vector<int> expected;
        std::istringstream words(levels);
        for (int n; words >> n;) expected.push_back(n);
        EXPECT_EQ(levels_of_file(from_hex(hex), keys), expected) << hex.substr(0, 40);
    }
}

// Through the level function, the shared level-1 vectors hold as 68-byte
// parts, and as 132-byte parts whose EdDSA bytes are no signature.
TEST(SignatureTest, CurveVectorsThroughTheLevel) {
    const auto vectors = load_vectors("signature.txt");
    auto keys = package_vector_keys();
    for (const auto& v : vectors.at("signature")) {
        const auto digest = from_hex(v.at("digest"));
        auto sig = from_hex(v.at("signature"));
        const int expected = v.at("valid") == "1" ? 1 : 0;
        EXPECT_EQ(verify::signature_level(digest.data(), sig.data(), sig.size(), keys), expected) << v.line;
        sig.resize(132, 0x5A);
        EXPECT_EQ(verify::signature_level(digest.data(), sig.data(), sig.size(), keys), expected) << v.line;
        EXPECT_EQ(verify::signature_level(digest.data(), sig.data(), 67, keys), 0);
    }
    // Under another Curve25519 key the signature fails.
    keys.curve25519_public[0] ^= 1;
    const auto& v = vectors.at("signature").front();
    const auto digest = from_hex(v.at("digest"));
    const auto sig = from_hex(v.at("signature"));
    EXPECT_EQ(verify::signature_level(digest.data(), sig.data(), sig.size(), keys), 0);
}
