// A stream buffer standing in for what a package stream reads from: a file that can seek, a pipe that cannot, a source
// that refuses putback, trickles its data, fails like a device or runs on in zeros; it counts the bytes it hands out.
#pragma once

#include <algorithm>
#include <cstring>
#include <ios>
#include <streambuf>
#include <string>

class test_source : public std::streambuf {
public:
    struct options {
        bool seekable = true;
        bool putback = true;
        std::size_t trickle = 0;                  // when not 0, the most a block read delivers
        std::size_t fail_at = std::string::npos;  // a refill from here on throws, as a file stream on a device error
        bool zeros_after = false;                 // zeros follow the data for ever
    };
    explicit test_source(std::string data) : test_source(std::move(data), options{}) {}
    test_source(std::string data, options o) : data_(std::move(data)), opts_(o), buffer_(o.putback ? 7 : 1, 0) {
        setg(buffer_.data(), buffer_.data(), buffer_.data());  // 7 bytes a refill: odd, so that refills fall mid-part
    }
    std::size_t bytes_read = 0;  // pulled from the data
    std::size_t consumed() const { return next_ - static_cast<std::size_t>(egptr() - gptr()); }  // handed out

protected:
    int_type underflow() override {
        if (gptr() == egptr() && next_ >= opts_.fail_at) throw std::ios_base::failure("device error");
        if (gptr() == egptr() && (next_ < data_.size() || opts_.zeros_after)) {
            const std::size_t n = next_ < data_.size() ? std::min(buffer_.size(), data_.size() - next_) : 1;
            std::memcpy(buffer_.data(), next_ < data_.size() ? data_.data() + next_ : "", n);
            next_ += n;
            bytes_read += n;
            setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
        }
        return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
    }
    int_type uflow() override {  // without putback, nothing handed out stays in the get area
        const int_type c = underflow();
        if (traits_type::eq_int_type(c, traits_type::eof())) return c;
        opts_.putback ? gbump(1) : setg(egptr(), egptr(), egptr());
        return c;
    }
    std::streamsize xsgetn(char_type* s, std::streamsize n) override {
        const auto trickle = static_cast<std::streamsize>(opts_.trickle);
        return std::streambuf::xsgetn(s, trickle != 0 ? std::min(n, trickle) : n);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        const std::size_t base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? consumed() : data_.size();
        return seekpos(pos_type(static_cast<off_type>(base) + off), which);
    }
    // Like a file: past the end is allowed. The place is kept in a size_t, so that in a 32-bit build it wraps past
    // 4 GiB as the place of a source with 32-bit positions does.
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (!opts_.seekable || off_type(pos) < 0) return pos_type(off_type(-1));
        next_ = static_cast<std::size_t>(off_type(pos));
        setg(buffer_.data(), buffer_.data(), buffer_.data());
        return pos;
    }

private:
    std::string data_;
    options opts_;
    std::string buffer_;
    std::size_t next_ = 0;
};
