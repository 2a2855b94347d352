// Compressed package data (the file archive) read inflated. The compressed
// bytes come from another stream buffer, normally the package stream bounded
// to the archive part, so they pass its running hash and tee unchanged.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

class inflate_streambuf : public std::streambuf {
public:
    static constexpr std::size_t putback_size = 16;
    static constexpr std::size_t window_size = 4096;
    static constexpr std::size_t input_size = 4096;

    // source is not owned. The data is one zlib stream (header and trailer).
    explicit inflate_streambuf(std::streambuf* source);
    ~inflate_streambuf() override;
    inflate_streambuf(const inflate_streambuf&) = delete;
    inflate_streambuf& operator=(const inflate_streambuf&) = delete;

    // Total bytes inflated so far (runs ahead of the reader by what is
    // still in the get area).
    std::uint64_t produced() const { return produced_; }

protected:
    int_type underflow() override;
    // Only forward movement: the data cannot be inflated backwards.
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

private:
    // Bytes handed to the reader so far.
    std::uint64_t position() const;
    bool skip(std::uint64_t n);

    char* window() { return area_ + putback_size; }

    // The putback reserve directly followed by the output window: after a
    // refill the reserve's last byte holds the last byte of the previous
    // window, so that it can be put back.
    char area_[putback_size + window_size];
    unsigned char input_[input_size];
    z_stream zstream_;
    std::streambuf* source_;
    // 64 bits: a small part can inflate to more than 4 GiB, and positions
    // must not wrap then.
    std::uint64_t produced_ = 0;
};

class inflate_istream : public std::istream {
public:
    // source must outlive the stream.
    explicit inflate_istream(std::istream& source);
    ~inflate_istream() override;
    inflate_istream(const inflate_istream&) = delete;
    inflate_istream& operator=(const inflate_istream&) = delete;

private:
    std::unique_ptr<inflate_streambuf> buffer_;
};
