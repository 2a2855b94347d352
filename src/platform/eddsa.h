// The crypto layer's EdDSA check, under the names the rest of the program
// uses for it. The backend is OpenSSL's Ed25519; nothing above this header
// knows that.
#pragma once

#include <cstddef>
#include <cstdint>

namespace asn1 {

// A run of bytes given by its start and its end; it does not own them.
struct blob {
    const std::uint8_t* start = nullptr;
    const std::uint8_t* end = nullptr;

    blob() = default;
    blob(const std::uint8_t* first, const std::uint8_t* last) : start(first), end(last) {}
    blob(const std::uint8_t* first, std::size_t length) : start(first), end(first + length) {}

    std::size_t size() const { return static_cast<std::size_t>(end - start); }
};

}  // namespace asn1

namespace eddsa {

// Nonzero when signature (64 bytes) is a valid Ed25519 signature of message
// under key (32 bytes). Keys and signatures of any other size never hold.
int verify(asn1::blob key, asn1::blob message, asn1::blob signature);

}  // namespace eddsa
