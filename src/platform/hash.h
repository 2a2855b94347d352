// The message digests that the package stream feeds while it reads a package
// file. The rest of the program sees only these names; the one backend below
// them is OpenSSL's libcrypto.
#pragma once

#include <cstddef>

struct evp_md_st;
struct evp_md_ctx_st;

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

// A Hash over one of libcrypto's message digests.
class evp_hash : public Hash {
public:
    ~evp_hash() override;
    evp_hash(const evp_hash&) = delete;
    evp_hash& operator=(const evp_hash&) = delete;

    void update(const void* data, std::size_t n) override;
    void finish(unsigned char* out) override;
    std::size_t digest_size() const override { return size_; }

protected:
    // Takes ownership of md.
    evp_hash(evp_md_st* md, std::size_t size);

private:
    evp_md_st* md_;
    evp_md_ctx_st* ctx_;
    std::size_t size_;
};

class SHA1 final : public evp_hash {
public:
    static constexpr std::size_t size = 20;
    SHA1();
};

class SHA256 final : public evp_hash {
public:
    static constexpr std::size_t size = 32;
    SHA256();
};
