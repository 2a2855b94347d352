// Package file bytes written by hand part by part, and digests computed straight with OpenSSL, independent of the
// program's own hashing.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test_bytes {

inline std::string le16(std::uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
inline std::string le32(std::uint32_t v) {
    return le16(static_cast<std::uint16_t>(v)) + le16(static_cast<std::uint16_t>(v >> 16));
}
// A part header declaring a length of its own, then data; a part; the file header in front of body.
inline std::string part_claiming(std::uint16_t type, std::uint32_t length, const std::string& data) {
    return le16(type) + le32(length) + data;
}
inline std::string part(std::uint16_t type, const std::string& data) {
    return part_claiming(type, static_cast<std::uint32_t>(data.size()), data);
}
inline std::string file(const std::string& body, std::uint32_t magic = 0xBAD0F11E) {
    return le32(magic) + le32(static_cast<std::uint32_t>(body.size())) + body;
}
// A file whose header declares the largest size (its end at 4 GiB), whatever body follows.
inline std::string file_of_4_gib(const std::string& body) { return le32(0xBAD0F11E) + le32(0xFFFFFFF7) + body; }

inline std::string to_hex(const unsigned char* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
    return out;
}
// In hex, the digest buffer as the package stream fills it: SHA-1 and 12 zeros, or SHA-256.
inline std::string digest_of(const std::string& bytes, bool sha256) {
    unsigned char out[32] = {};
    EVP_Digest(bytes.data(), bytes.size(), out, nullptr, sha256 ? EVP_sha256() : EVP_sha1(), nullptr);
    return to_hex(out, sizeof out);
}

// What each signature's digest covers, found by walking the parts by hand: from the last package header (or a later
// hash switch, which starts the SHA-256 message) through the signature's own part header; the check restarts it.
struct signature_range {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool sha256 = false;
};
inline std::vector<signature_range> signature_ranges(const std::string& bytes) {
    std::vector<signature_range> ranges;
    const auto byte = [&](std::size_t at) { return std::uint32_t{static_cast<unsigned char>(bytes[at])}; };
    signature_range current{8, 0, false};
    for (std::size_t pos = 8; pos + 6 <= bytes.size();) {
        const std::uint32_t type = byte(pos) | byte(pos + 1) << 8;
        current.sha256 |= type == 25;
        if (type == 25 || type == 1) current.begin = pos;
        if (type == 9) {
            current.end = pos + 6;
            ranges.push_back(current);
            current.begin = pos + 6;
        }
        pos += 6 + (byte(pos + 2) | byte(pos + 3) << 8 | byte(pos + 4) << 16 | byte(pos + 5) << 24);
    }
    return ranges;
}

}  // namespace test_bytes
