// A package file read one typed part at a time. The caller names the part
// types it wants and asks for the next one; every read is bounded to the
// current part, and parts that are not wanted are skipped. While the file is
// read, every byte after the file header can be fed into a running hash (what
// the signature check compares) and copied to a second buffer (the tee, so
// that a package read from a pipe can be kept whole).
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "platform/hash.h"

namespace verify {
struct public_keys;
}

// Magic numbers at the start of a package file.
constexpr std::uint32_t package_magic = 0xBAD0F11E;
constexpr std::uint32_t second_kind_magic = 0xA1100FFB;

// Sizes of the container's own headers.
constexpr std::uint32_t file_header_size = 8;
constexpr std::uint32_t part_header_size = 6;

// Size of the digest buffer: room for a SHA-256 digest; a SHA-1 digest fills
// its first 20 bytes.
constexpr std::size_t digest_buffer_size = 32;

// Signature part sizes: the short form holds the Curve25519 signature only,
// the long form adds the EdDSA signature.
constexpr std::uint32_t short_signature_size = 68;
constexpr std::uint32_t long_signature_size = 132;

// The stream buffer under package_istream. It keeps no get area of its own:
// every character access reaches underflow, uflow or pbackfail and every
// block read reaches xsgetn, so that each byte is bounded, hashed and copied
// exactly once. The source does the buffering.
class part_streambuf : public std::streambuf {
public:
    // source and tee are not owned; tee may be null.
    part_streambuf(std::streambuf* source, bool hashing, std::streambuf* tee);
    ~part_streambuf() override;
    part_streambuf(const part_streambuf&) = delete;
    part_streambuf& operator=(const part_streambuf&) = delete;

    // Reads the 8-byte file header (copied to the tee, never hashed). False
    // when fewer than 8 bytes arrive.
    bool read_file_header(std::uint32_t& magic, std::uint32_t& rest_length);

    // Skips what is left of the current part and reads the next part header.
    // Its type, or -1 at the end of the file or when a skip comes up short.
    int next_part_header();

    // Whether the last next_part_header found the end of the data at a part
    // boundary: every skip came out whole and not one byte of a further
    // part header was there.
    bool ended_at_part_boundary() const { return ended_at_part_boundary_; }

    std::uint32_t part_offset() const { return part_offset_; }
    // What the part header claims, cut at the file's declared end.
    std::uint32_t part_length() const { return part_length_; }
    std::uint32_t remaining() const { return remaining_; }
    bool hashing() const { return hashing_; }

    // Finishes the running hash into the digest buffer; the next bytes fed
    // begin a new message. Bytes of the buffer past the digest (12 after a
    // SHA-1 digest) are zero.
    void finish_hash();
    // The digest buffer, digest_buffer_size bytes, zero-filled at creation.
    const unsigned char* digest() const { return digest_; }

    // Reads up to n bytes of the current part straight from the source,
    // copying them to the tee without hashing them (the signature bytes are
    // not part of what they sign). Returns the count read; remaining drops by it.
    std::streamsize read_unhashed(char* buffer, std::streamsize n);

    // The signature check at the signature part, run before anything of the
    // part has been read: 2 when the EdDSA signature holds, else 1 when the
    // Curve25519 signature does, else 0. With hashing on it finishes the
    // running hash and consumes the signature bytes (132, or 68 from a part
    // shorter than 132) whatever the result; a part of fewer than 68 bytes is
    // left unread. Nothing is allocated on the heap here.
    int verify_signature();
    // The same check against other keys than the build's (for the signing
    // tool, which checks packages signed with keys of its own).
    int verify_signature(const verify::public_keys& keys);

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;

private:
    std::streamsize read_through(char* buffer, std::streamsize n);
    std::uint32_t skip(std::uint32_t n);
    pos_type seek_within_part(std::int64_t pos);
    void feed(const char* bytes, std::streamsize n);

    std::streambuf* source_;
    std::uint32_t part_offset_ = 0;
    std::uint32_t part_length_ = 0;
    std::uint32_t remaining_ = 0;
    std::streambuf* tee_;
    SHA1 sha1_;
    SHA256 sha256_;
    Hash* running_hash_;
    bool hashing_;
    // Bytes given back to the source after they had been hashed and copied;
    // the next that many bytes read are neither hashed nor copied again.
    std::uint32_t replay_count_ = 0;
    unsigned char digest_[digest_buffer_size] = {};
    bool ended_at_part_boundary_ = false;
    // Where the file header says the file ends; no part header past it is read.
    std::uint64_t declared_end_ = UINT64_MAX;
    // The current part claimed more than the declared end leaves it and was cut there.
    bool cut_at_declared_end_ = false;
};

class package_istream : public std::istream {
public:
    // Reads the file header from source at once. A short header or an
    // unknown magic sets the bad bit; next_part then returns -1.
    // source must outlive the stream; tee (not owned) may be null.
    package_istream(std::istream& source, bool hashing, std::streambuf* tee = nullptr);
    ~package_istream() override;
    package_istream(const package_istream&) = delete;
    package_istream& operator=(const package_istream&) = delete;

    // Filled by the caller before the first next_part.
    std::vector<std::uint32_t> wanted_types;
    // Type of the current part; -1 after the end.
    std::int32_t current_type = -1;

    // Advances to the next wanted part and returns its type, or -1 at the end
    // of the file, on a read failure, or when the stream was already bad or
    // failed.
    int next_part();

    std::uint32_t part_length() const { return buffer_->part_length(); }
    // Offset in the file of the current part's data; part_offset() + tellg()
    // is the number of bytes consumed from the file.
    std::uint32_t part_offset() const { return buffer_->part_offset(); }
    std::uint32_t magic() const { return magic_; }
    // The file header's length field plus 8.
    std::uint32_t total_size() const { return total_size_; }
    bool has_second_magic() const { return magic_ == second_kind_magic; }

    // Whether next_part has come to the end of the file exactly where the
    // file header says the file ends. next_part returns -1 alike for that
    // end and for a file cut short (inside a part or a part header) or
    // followed by stray bytes; a reader that must not take a cut-off package
    // stream for a whole one (a bundle cut between two members reads like a
    // bundle with fewer members) asks this when it sees -1.
    bool ended_at_declared_size() const {
        return current_type == -1 && buffer_->ended_at_part_boundary() && buffer_->part_offset() == total_size_;
    }

    // Call only at the signature part, before reading any of it.
    int verify_signature() { return buffer_->verify_signature(); }
    int verify_signature(const verify::public_keys& keys) { return buffer_->verify_signature(keys); }

    part_streambuf& parts() { return *buffer_; }

private:
    std::unique_ptr<part_streambuf> buffer_;
    std::uint32_t magic_ = 0xFFFFFFFF;
    std::uint32_t total_size_ = 0;
};
