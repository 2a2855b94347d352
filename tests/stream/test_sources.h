// A stream buffer that stands in for the sources a package stream reads
// from: a file that can seek, a pipe that cannot, a source that refuses
// putback or trickles its data, counting the bytes it hands out.
#pragma once

#include <algorithm>
#include <cstring>
#include <streambuf>
#include <string>

class test_source : public std::streambuf {
public:
    struct options {
        bool seekable = true;
        bool putback = true;
        std::size_t chunk = 7;    // bytes per refill; odd so refills fall mid-part
        std::size_t trickle = 0;  // when not 0, the most a block read delivers
    };

    explicit test_source(std::string data) : test_source(std::move(data), options{}) {}
    test_source(std::string data, options opts) : data_(std::move(data)), opts_(opts) {
        if (!opts_.putback) opts_.chunk = 1;
        buffer_.resize(std::max<std::size_t>(opts_.chunk, 1));
        setg(buffer_.data(), buffer_.data(), buffer_.data());
    }

    std::size_t bytes_read = 0;  // pulled from the data so far
    std::size_t seeks = 0;       // successful seeks

    // Bytes handed to the reader: the position in the data.
    std::size_t consumed() const { return next_ - static_cast<std::size_t>(egptr() - gptr()); }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (next_ >= data_.size()) return traits_type::eof();
        std::size_t n = std::min(opts_.chunk, data_.size() - next_);
        std::memcpy(buffer_.data(), data_.data() + next_, n);
        next_ += n;
        bytes_read += n;
        setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
        return traits_type::to_int_type(*gptr());
    }

    int_type uflow() override {
        int_type c = underflow();
        if (traits_type::eq_int_type(c, traits_type::eof())) return c;
        // Without putback nothing stays behind the read position.
        opts_.putback ? gbump(1) : setg(egptr(), egptr(), egptr());
        return c;
    }

    std::streamsize xsgetn(char_type* s, std::streamsize n) override {
        if (opts_.trickle != 0) n = std::min<std::streamsize>(n, static_cast<std::streamsize>(opts_.trickle));
        return std::streambuf::xsgetn(s, n);
    }

    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        off_type base = dir == std::ios_base::beg   ? 0
                        : dir == std::ios_base::cur ? static_cast<off_type>(consumed())
                                                    : static_cast<off_type>(data_.size());
        return seekpos(pos_type(base + off), which);
    }

    // Like a file: positions past the end are allowed, reads there find nothing.
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (!opts_.seekable || off_type(pos) < 0) return pos_type(off_type(-1));
        next_ = static_cast<std::size_t>(off_type(pos));
        setg(buffer_.data(), buffer_.data(), buffer_.data());
        ++seeks;
        return pos;
    }

private:
    std::string data_;
    options opts_;
    std::string buffer_;
    std::size_t next_ = 0;
};

inline test_source::options pipe_options() {
    test_source::options opts;
    opts.seekable = false;
    return opts;
}
