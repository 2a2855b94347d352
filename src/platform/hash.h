// The message digests that the package stream feeds while it reads a package
// file. The rest of the program sees only these names; the one backend below
// them is OpenSSL's libcrypto.
#pragma once

#include <cstddef>

#include "platform/digest_state.h"

// A running message digest. finish() writes the digest of every byte fed
// since construction or the previous finish(), and the next bytes fed begin
// a new message.
class Hash {
public:
    virtual ~Hash() = default;
    virtual void update(const void* data, std::size_t n) = 0;
    // Writes digest_size() bytes to out.
    virtual void finish(unsigned char* out) = 0;
    virtual std::size_t digest_size() const = 0;
};

// The digest state lives inside the objects themselves: reading a package
// allocates nothing per part, and starting a new message allocates nothing.
class SHA1 final : public Hash {
public:
    static constexpr std::size_t size = 20;
    SHA1();
    void update(const void* data, std::size_t n) override;
    void finish(unsigned char* out) override;
    std::size_t digest_size() const override { return size; }

private:
    alignas(8) unsigned char state_[digest_state::max_state_size];
};

class SHA256 final : public Hash {
public:
    static constexpr std::size_t size = 32;
    SHA256();
    void update(const void* data, std::size_t n) override;
    void finish(unsigned char* out) override;
    std::size_t digest_size() const override { return size; }

private:
    alignas(8) unsigned char state_[digest_state::max_state_size];
};
