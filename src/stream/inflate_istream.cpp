#include "stream/inflate_istream.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t skip_chunk = 1024;

const std::streambuf::pos_type seek_failed = std::streambuf::pos_type(std::streambuf::off_type(-1));

}  // namespace

inflate_streambuf::inflate_streambuf(std::streambuf* source) : source_(source) {
    std::memset(&zstream_, 0, sizeof zstream_);
    // The router's zlib takes its own version string ("1.2.3"); here it is
    // the version of the zlib this is built against. A failed init is not
    // checked: it makes the first refill fail, which reads as end of data.
    inflateInit_(&zstream_, ZLIB_VERSION, static_cast<int>(sizeof zstream_));
#if ZLIB_VERNUM >= 0x1290
    // The stream's own checksum of the inflated data is not computed: the
    // package's signature covers every compressed byte and so the data
    // already, and the installer computes each file's CRC-32 as it writes
    // it. That checksum would cost as much again.
    inflateValidate(&zstream_, 0);
#endif
    setg(window(), window(), window());
}

inflate_streambuf::~inflate_streambuf() { inflateEnd(&zstream_); }

inflate_streambuf::int_type inflate_streambuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());

    // The last byte read stays available for a putback across the refill;
    // it is copied into the reserve only once the refill has succeeded, so a
    // failed one leaves the current get area and its putback byte intact.
    char* begin = window();
    char carried = 0;
    if (gptr() > window()) {
        carried = gptr()[-1];
        begin = window() - 1;
    }

    for (;;) {
        if (zstream_.avail_in == 0) {
            zstream_.next_in = input_;
            std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), input_size);
            if (got <= 0) return traits_type::eof();
            zstream_.avail_in = static_cast<uInt>(got);
        }
        uInt input_before = zstream_.avail_in;
        zstream_.next_out = reinterpret_cast<Bytef*>(window());
        zstream_.avail_out = window_size;
        int result = inflate(&zstream_, Z_PARTIAL_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) return traits_type::eof();
        std::size_t written = window_size - zstream_.avail_out;
        if (written != 0) {
            produced_ += written;
            if (begin != window()) window()[-1] = carried;
            setg(begin, window(), window() + written);
            return traits_type::to_int_type(*window());
        }
        // A call that writes nothing must not hand out a byte from the empty
        // window. It is worth another call only while it took input (a zlib
        // header or a block header arriving in pieces); after the end of the
        // compressed stream, or without progress, the data has ended.
        if (result == Z_STREAM_END || zstream_.avail_in == input_before) return traits_type::eof();
    }
}

std::uint64_t inflate_streambuf::position() const {
    return produced_ - static_cast<std::uint64_t>(egptr() - gptr());
}

bool inflate_streambuf::skip(std::uint64_t n) {
    char scratch[skip_chunk];
    while (n > 0) {
        std::streamsize chunk = static_cast<std::streamsize>(std::min<std::uint64_t>(n, skip_chunk));
        if (sgetn(scratch, chunk) < chunk) return false;
        n -= static_cast<std::uint64_t>(chunk);
    }
    return true;
}

// Positions count the inflated bytes handed to the reader, so tellg() tells
// how far into the inflated data the reader is.
inflate_streambuf::pos_type inflate_streambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                       std::ios_base::openmode) {
    std::int64_t target;
    if (dir == std::ios_base::cur)
        target = static_cast<std::int64_t>(position()) + off;
    else if (dir == std::ios_base::beg)
        target = off;
    else
        return seek_failed;
    std::int64_t here = static_cast<std::int64_t>(position());
    if (target < here) return seek_failed;
    if (!skip(static_cast<std::uint64_t>(target - here))) return seek_failed;
    return pos_type(target);
}

inflate_streambuf::pos_type inflate_streambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

inflate_istream::inflate_istream(std::istream& source)
    : std::istream(nullptr), buffer_(new inflate_streambuf(source.rdbuf())) {
    init(buffer_.get());
}

inflate_istream::~inflate_istream() = default;
