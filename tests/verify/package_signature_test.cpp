// The signature check as the installer runs it: on the package stream at a
// signature part, over the stream's own running hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "qpk/writer.h"
#include "resolve/version.h"
#include "signing/key_file.h"
#include "signing/signer.h"
#include "store/package_format.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "verify/vectors.h"

namespace {

const signing::private_keys& development_private() {
    static const signing::private_keys keys = [] {
        signing::private_keys k;
        std::string error;
        if (!signing::read_private_key_file(std::string(SOURCE_DIR) + "/keys/development.private", k, error))
            throw std::runtime_error(error);
        return k;
    }();
    return keys;
}

// The check under the development keys: the build's own call when those are
// the build's keys, else the same check given them.
int check(package_istream& in) {
    static const bool build_keys = test_vectors::build_has_vector_keys();
    static const verify::public_keys keys = test_vectors::package_vector_keys();
    return build_keys ? in.verify_signature() : in.verify_signature(keys);
}

// Fills each signature part with the development pair's level-2 signature,
// cut to the part's length, and 0x5A bytes after it.
std::string sign_for(const qpk::digest_buffer& digest, std::size_t length) {
    std::vector<std::uint8_t> signature;
    if (!signing::sign_digest(development_private(), digest.data(), 2, signature)) throw std::runtime_error("sign");
    std::string out(length, '\x5A');
    std::copy_n(signature.begin(), std::min(length, signature.size()), out.begin());
    return out;
}

// The levels at every signature part of a whole file, in file order.
std::vector<int> levels_of(const std::string& bytes) {
    std::istringstream source(bytes);
    package_istream in(source, true);
    in.wanted_types = {part_type::signature};
    std::vector<int> levels;
    while (in.next_part() == part_type::signature) levels.push_back(check(in));
    return levels;
}

// A small signed package: an unknown part before its header (outside what
// the signature covers), a description, a file archive and a signature part
// of the given length.
std::string small_package(bool sha256, std::uint32_t signature_length) {
    qpk::package_contents contents;
    contents.name = "tiny";
    contents.version = make_version(1, 2, 'f', 0);
    contents.build_time = 1234;
    contents.sha256 = sha256;
    contents.note = "n";
    contents.dependencies = std::vector<requirement>{{"base", 0, 0, 0}};
    contents.files = std::vector<qpk::file_item>{qpk::regular_file("bin/x", "xyz")};
    contents.signature_length = signature_length;
    std::vector<qpk::raw_part> parts = qpk::package_parts(contents);
    parts.insert(parts.begin(), {7, "before the header"});
    std::string bytes = qpk::encode_container(parts, false);
    std::string error;
    if (!qpk::sign_parts(bytes, sign_for, error)) throw std::runtime_error(error);
    return bytes;
}

const qpk::located_part& find_part(const std::vector<qpk::located_part>& parts, std::uint16_t type) {
    for (const auto& p : parts)
        if (p.type == type) return p;
    throw std::runtime_error("no part of type " + std::to_string(type));
}

}  // namespace

// Every shared package file reaches its listed level at each signature part
// through the stream (a bundle at each member), and the tee still receives
// the whole file once.
TEST(PackageSignatureTest, VectorFilesReachTheirLevels) {
    const verify::public_keys keys = test_vectors::package_vector_keys();
    signing::private_keys other_private;
    verify::public_keys other_keys;
    ASSERT_TRUE(signing::generate_private_keys(keys.table, other_private));
    ASSERT_TRUE(signing::public_keys_of(other_private, other_keys));
    const verify::public_keys& other = other_keys;

    const auto files = test_bytes::read_vector_files(std::string(VECTORS_DIR) + "/packages.txt");
    ASSERT_EQ(files.size(), 5u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.comment);
        const std::string& bytes = file.bytes;
        const std::vector<int>& expected = file.levels;
        EXPECT_EQ(levels_of(bytes), expected);

        // With the keys given explicitly, and under another key pair.
        for (const verify::public_keys* k : {&keys, &other}) {
            std::istringstream source(bytes);
            std::ostringstream tee;
            package_istream in(source, true, tee.rdbuf());
            in.wanted_types = {part_type::signature};
            std::vector<int> got;
            while (in.next_part() == part_type::signature) got.push_back(in.verify_signature(*k));
            EXPECT_EQ(got, k == &keys ? expected : std::vector<int>(expected.size(), 0));
            EXPECT_TRUE(tee.str() == bytes);
        }
    }
}

// From the package header's part header through the signature's part
// header, every byte counts; before it and in bytes 0-19 of the signature
// part nothing does; a broken EdDSA signature falls back to level 1.
TEST(PackageSignatureTest, WhatTheSignatureCovers) {
    for (bool sha256 : {false, true}) {
        SCOPED_TRACE(sha256 ? "sha256" : "sha1");
        const std::string bytes = small_package(sha256, 132);
        ASSERT_EQ(levels_of(bytes), std::vector<int>{2});
        std::vector<qpk::located_part> parts;
        std::string error;
        ASSERT_TRUE(qpk::split_parts(bytes, parts, error)) << error;
        const std::size_t begin = find_part(parts, part_type::package_header).offset - part_header_size;
        const std::size_t signature = find_part(parts, part_type::signature).offset;
        const qpk::located_part& before = find_part(parts, 7);

        auto level_with = [&](std::size_t at, unsigned char mask) {
            std::string changed = bytes;
            changed[at] = static_cast<char>(changed[at] ^ mask);
            std::vector<int> levels = levels_of(changed);
            // A changed part header may hide the signature part: no level.
            return levels.empty() ? 0 : *std::max_element(levels.begin(), levels.end());
        };
        for (std::size_t at = begin; at < signature; ++at) {
            EXPECT_EQ(level_with(at, 0x01), 0) << "byte " << at;
            EXPECT_EQ(level_with(at, 0x80), 0) << "byte " << at;
        }
        // The file header's length field and a part before the header.
        for (std::size_t at = 4; at < 8; ++at) EXPECT_EQ(level_with(at, 0x10), 2) << "byte " << at;
        for (std::size_t at = before.offset; at < before.offset + before.length; ++at)
            EXPECT_EQ(level_with(at, 0x10), 2) << "byte " << at;
        // Bytes 0-19 of the signature part are not examined.
        for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(level_with(signature + i, 0xFF), 2) << "signature byte " << i;
        // EdDSA is tried first: a broken Curve25519 signature does not lower 2.
        for (std::size_t i : {20u, 35u, 36u, 67u}) EXPECT_EQ(level_with(signature + i, 0x04), 2) << i;
        // A broken EdDSA signature leaves the Curve25519 one: level 1.
        for (std::size_t i : {68u, 99u, 131u}) EXPECT_EQ(level_with(signature + i, 0x04), 1) << i;
        // Both broken.
        std::string both = bytes;
        both[signature + 40] ^= 1;
        both[signature + 100] ^= 1;
        EXPECT_EQ(levels_of(both), std::vector<int>{0});
    }
}

// How much of the part the check reads, for every length of signature part:
// nothing below 68, 68 below 132, else 132; the rest stays in the part for
// the reader, and the tee receives every byte once.
TEST(PackageSignatureTest, SignaturePartLengths) {
    const struct {
        std::uint32_t length;
        int level;
        std::uint32_t read;
    } cases[] = {{67, 0, 0}, {68, 1, 68}, {100, 1, 68}, {131, 1, 68}, {132, 2, 132}, {140, 2, 132}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string bytes = small_package(false, c.length);
        std::vector<qpk::located_part> parts;
        std::string error;
        ASSERT_TRUE(qpk::split_parts(bytes, parts, error)) << error;
        const std::uint32_t signature = find_part(parts, part_type::signature).offset;

        std::istringstream source(bytes);
        std::ostringstream tee;
        package_istream in(source, true, tee.rdbuf());
        in.wanted_types = {part_type::signature};
        ASSERT_EQ(in.next_part(), part_type::signature);
        EXPECT_EQ(check(in), c.level);
        EXPECT_EQ(in.parts().remaining(), c.length - c.read);
        EXPECT_EQ(in.tellg(), std::streampos(c.read));
        EXPECT_EQ(tee.str().size(), signature + c.read);
        // What the check left is read as part data: the rest of the part.
        std::string rest(c.length - c.read, '\0');
        EXPECT_TRUE(in.read(rest.data(), static_cast<std::streamsize>(rest.size())));
        EXPECT_EQ(rest, bytes.substr(signature + c.read, c.length - c.read));
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(tee.str() == bytes);
    }

    // A file cut inside its signature: level 0, and what did arrive is
    // accounted for (consumed from the part, copied to the tee once).
    {
        const std::string whole = small_package(false, 132);
        const std::string cut = whole.substr(0, whole.size() - 30);
        std::istringstream source(cut);
        std::ostringstream tee;
        package_istream in(source, true, tee.rdbuf());
        in.wanted_types = {part_type::signature};
        ASSERT_EQ(in.next_part(), part_type::signature);
        EXPECT_EQ(check(in), 0);
        EXPECT_EQ(in.parts().remaining(), 30u);
        EXPECT_TRUE(tee.str() == cut);
        EXPECT_EQ(in.next_part(), -1);
        EXPECT_TRUE(tee.str() == cut);
    }

    // A 68-byte part holds the Curve25519 signature only.
    std::string short_part = small_package(true, 68);
    ASSERT_EQ(levels_of(short_part), std::vector<int>{1});
    short_part[short_part.size() - 1] ^= 1;
    EXPECT_EQ(levels_of(short_part), std::vector<int>{0});
    // Bytes past 132 are not part of the signature.
    std::string long_part = small_package(true, 140);
    long_part[long_part.size() - 1] ^= 1;
    EXPECT_EQ(levels_of(long_part), std::vector<int>{2});
}

// A stream without hashing has no digest to check: 0, and nothing read.
TEST(PackageSignatureTest, WithoutHashingNothingIsRead) {
    const std::string bytes = small_package(false, 132);
    std::istringstream source(bytes);
    std::ostringstream tee;
    package_istream in(source, false, tee.rdbuf());
    in.wanted_types = {part_type::signature};
    ASSERT_EQ(in.next_part(), part_type::signature);
    const std::size_t at = static_cast<std::size_t>(source.tellg());
    EXPECT_EQ(check(in), 0);
    EXPECT_EQ(in.parts().remaining(), 132u);
    EXPECT_EQ(in.tellg(), std::streampos(0));
    EXPECT_EQ(static_cast<std::size_t>(source.tellg()), at);
    EXPECT_EQ(tee.str().size(), at);
    std::string signature(132, '\0');
    EXPECT_TRUE(in.read(signature.data(), 132));
    EXPECT_EQ(signature, bytes.substr(at, 132));
}
