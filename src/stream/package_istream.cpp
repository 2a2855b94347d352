#include "stream/package_istream.h"

#include <algorithm>
#include <cstring>

#include "stream/little_endian.h"
#include "verify/signature.h"

namespace {

// The mode handed to the source's seeks: in and out together, so that a
// source opened for both moves both of its positions.
constexpr std::ios_base::openmode source_seek_mode = std::ios_base::in | std::ios_base::out;

// Skips read through a scratch buffer on the stack, so that reading a
// package allocates nothing after the stream is created.
constexpr std::uint32_t skip_chunk = 16384;

static_assert(short_signature_size == verify::curve25519_signature_size &&
              long_signature_size == verify::full_signature_size);

const std::streambuf::pos_type seek_failed = std::streambuf::pos_type(std::streambuf::off_type(-1));
constexpr std::streambuf::int_type end_of_data = std::streambuf::traits_type::eof();

// The source's own buffer may throw on a read error (a file stream does on
// an I/O error of the flash). To the package reader an unreadable byte is the
// end of the data: the error ends the reading of this package, not the run.
std::streamsize source_read(std::streambuf* source, char* buffer, std::streamsize n) {
    try {
        return std::max<std::streamsize>(source->sgetn(buffer, n), 0);
    } catch (...) {
        return 0;
    }
}

std::streambuf::int_type source_peek(std::streambuf* source) {
    try {
        return source->sgetc();
    } catch (...) {
        return end_of_data;
    }
}

std::streambuf::int_type source_take(std::streambuf* source) {
    try {
        return source->sbumpc();
    } catch (...) {
        return end_of_data;
    }
}

std::streambuf::int_type source_give_back(std::streambuf* source, std::streambuf::int_type c) {
    try {
        return std::streambuf::traits_type::eq_int_type(c, end_of_data)
                   ? source->sungetc()
                   : source->sputbackc(std::streambuf::traits_type::to_char_type(c));
    } catch (...) {
        return end_of_data;
    }
}

std::streamsize source_available(std::streambuf* source) {
    try {
        return source->in_avail();
    } catch (...) {
        return 0;
    }
}

std::streambuf::pos_type source_seek_forward(std::streambuf* source, std::uint32_t distance) {
    try {
        return source->pubseekoff(distance, std::ios_base::cur, source_seek_mode);
    } catch (...) {
        return seek_failed;
    }
}

std::streambuf::pos_type source_seek_to(std::streambuf* source, std::streambuf::pos_type target) {
    try {
        return source->pubseekpos(target, source_seek_mode);
    } catch (...) {
        return seek_failed;
    }
}

// At most n, and at most limit. std::streamsize is as wide as a pointer:
// on a 32-bit program a part length of 2 GiB or more does not fit it, and
// turned into one it would read as a negative count.
std::streamsize at_most(std::streamsize n, std::uint32_t limit) {
    return n > 0 && static_cast<std::uint64_t>(n) > limit ? static_cast<std::streamsize>(limit) : n;
}

}  // namespace

part_streambuf::part_streambuf(std::streambuf* source, bool hashing, std::streambuf* tee)
    : source_(source), tee_(tee), running_hash_(&sha1_), hashing_(hashing) {}

part_streambuf::~part_streambuf() = default;

bool part_streambuf::read_file_header(std::uint32_t& magic, std::uint32_t& rest_length) {
    unsigned char header[file_header_size];
    const auto header_size = static_cast<std::streamsize>(sizeof header);
    if (source_read(source_, reinterpret_cast<char*>(header), header_size) != header_size) return false;
    if (tee_) tee_->sputn(reinterpret_cast<const char*>(header), sizeof header);
    magic = get_le32(header);
    rest_length = get_le32(header + 4);
    part_offset_ += file_header_size;
    declared_end_ = std::uint64_t{rest_length} + file_header_size;
    return true;
}

void part_streambuf::feed(const char* bytes, std::streamsize n) {
    if (n <= 0) return;
    if (tee_) tee_->sputn(bytes, n);
    if (hashing_) running_hash_->update(bytes, static_cast<std::size_t>(n));
}

std::streamsize part_streambuf::read_through(char* buffer, std::streamsize n) {
    std::streamsize got = source_read(source_, buffer, n);
    if (got < static_cast<std::streamsize>(replay_count_)) {
        replay_count_ -= static_cast<std::uint32_t>(got);
        return got;
    }
    feed(buffer + replay_count_, got - replay_count_);
    replay_count_ = 0;
    return got;
}

std::uint32_t part_streambuf::skip(std::uint32_t n) {
    char scratch[skip_chunk];
    std::uint32_t done = 0;
    while (done < n) {
        std::uint32_t chunk = std::min(n - done, skip_chunk);
        std::streamsize got = read_through(scratch, chunk);
        done += static_cast<std::uint32_t>(got);
        if (got < static_cast<std::streamsize>(chunk)) break;
    }
    return done;
}

void part_streambuf::finish_hash() {
    // The EdDSA check passes all 32 bytes of the buffer: after a SHA-1 digest
    // the tail must be a known value, never what an earlier digest left.
    std::memset(digest_, 0, sizeof digest_);
    running_hash_->finish(digest_);
}

std::streamsize part_streambuf::read_unhashed(char* buffer, std::streamsize n) {
    n = at_most(n, remaining_);
    if (n <= 0) return 0;
    std::streamsize got = source_read(source_, buffer, n);
    // Bytes that were given back to the source reached the tee already.
    std::streamsize replayed = std::min<std::streamsize>(got, replay_count_);
    replay_count_ -= static_cast<std::uint32_t>(replayed);
    if (tee_ && got > replayed) tee_->sputn(buffer + replayed, got - replayed);
    remaining_ -= static_cast<std::uint32_t>(got);
    return got;
}

int part_streambuf::verify_signature() { return verify_signature(verify::builtin_keys()); }

int part_streambuf::verify_signature(const verify::public_keys& keys) {
    if (!hashing_) return 0;
    finish_hash();
    if (remaining_ < short_signature_size) return 0;
    // Bytes past the long form stay in the part, to be skipped (and hashed)
    // with it by the next part header step.
    const std::streamsize n = remaining_ >= long_signature_size ? long_signature_size : short_signature_size;
    char signature[long_signature_size];
    if (read_unhashed(signature, n) != n) return 0;
    return verify::signature_level(digest_, reinterpret_cast<const std::uint8_t*>(signature),
                                   static_cast<std::size_t>(n), keys);
}

int part_streambuf::next_part_header() {
    ended_at_part_boundary_ = false;
    if (remaining_ != 0) {
        bool skipped = false;
        if (!hashing_ && !tee_) {
            // Without hashing and tee nothing has to see the bytes: the
            // source's own seek passes over them without reading.
            skipped = source_seek_forward(source_, remaining_) != seek_failed;
        }
        if (!skipped && skip(remaining_) < remaining_) return -1;
        remaining_ = 0;
    }
    // Offsets are 32-bit like the file's length field: a header that would
    // start past 4 GiB ends the file as a short read does, instead of
    // wrapping the offsets that seeks and the progress bar rely on.
    if (static_cast<std::uint64_t>(part_offset_) + part_length_ + part_header_size > 0xFFFFFFFFu) {
        finish_hash();
        return -1;
    }
    part_offset_ += part_length_;
    part_length_ = 0;

    // Nothing past the end that the file header declares is read: a source
    // that goes on (a package followed by zeros without end) would be read
    // for ever. A byte still waiting there means the file did not end where
    // it said; it is looked at, never consumed.
    if (part_offset_ >= declared_end_) {
        ended_at_part_boundary_ = part_offset_ == declared_end_ && !cut_at_declared_end_ &&
                                  std::streambuf::traits_type::eq_int_type(source_peek(source_), end_of_data);
        finish_hash();
        return -1;
    }

    unsigned char header[part_header_size];
    const std::streamsize got = source_read(source_, reinterpret_cast<char*>(header), sizeof header);
    if (got != static_cast<std::streamsize>(sizeof header)) {
        ended_at_part_boundary_ = got == 0;
        finish_hash();
        return -1;
    }
    if (tee_) tee_->sputn(reinterpret_cast<const char*>(header), sizeof header);
    std::uint16_t type = get_le16(header);
    if (hashing_) {
        if (type == 25) running_hash_ = &sha256_;
        // A package header starts the message that its signature covers.
        if (type == 1) finish_hash();
        running_hash_->update(header, sizeof header);
    }
    part_offset_ += part_header_size;
    // A header that runs past the declared end, or a part claiming more than
    // the file says it holds, is cut there: the file ends at its declared
    // size, never at a part boundary, and a claim of up to 4 GiB costs no
    // more than what the file declared.
    if (part_offset_ > declared_end_) {
        finish_hash();
        return -1;
    }
    const std::uint32_t claim = get_le32(header + 2);
    const std::uint64_t room = declared_end_ - part_offset_;
    cut_at_declared_end_ = claim > room;
    part_length_ = remaining_ = cut_at_declared_end_ ? static_cast<std::uint32_t>(room) : claim;
    return type;
}

std::streamsize part_streambuf::xsgetn(char_type* s, std::streamsize n) {
    if (remaining_ == 0 || n <= 0) return 0;
    std::streamsize got = read_through(s, at_most(n, remaining_));
    remaining_ -= static_cast<std::uint32_t>(got);
    return got;
}

std::streamsize part_streambuf::showmanyc() {
    return at_most(source_available(source_), remaining_);
}

part_streambuf::int_type part_streambuf::underflow() {
    if (remaining_ == 0) return traits_type::eof();
    return source_peek(source_);
}

part_streambuf::int_type part_streambuf::uflow() {
    if (remaining_ == 0) return traits_type::eof();
    int_type c = source_take(source_);
    // A byte counts as consumed only once it has arrived. In a file that
    // ends inside the part, dropping remaining for a byte that never came
    // would put the position one past the data, and a putback after it
    // would hand out the last byte read again as the byte of that position.
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    --remaining_;
    if (replay_count_ != 0) {
        --replay_count_;
        return c;
    }
    char byte = traits_type::to_char_type(c);
    feed(&byte, 1);
    return c;
}

part_streambuf::int_type part_streambuf::pbackfail(int_type c) {
    if (remaining_ == part_length_) return traits_type::eof();
    int_type back = source_give_back(source_, c);
    if (traits_type::eq_int_type(back, traits_type::eof())) return back;
    // Counted only once the source has taken the byte back: a refused
    // putback must not exempt the next byte from the hash and the tee.
    if (hashing_ || tee_) ++replay_count_;
    ++remaining_;
    return back;
}

part_streambuf::pos_type part_streambuf::seek_within_part(std::int64_t pos) {
    if (pos < 0 || pos > static_cast<std::int64_t>(part_length_)) return seek_failed;
    std::uint32_t left = part_length_ - static_cast<std::uint32_t>(pos);
    if (left == remaining_) return pos_type(pos);
    if (!hashing_ && !tee_) {
        // A package file ends within 4 GiB (its length field has 32 bits),
        // so a place past that lies beyond its end: a source whose positions
        // have 32 bits would wrap it round to a place near the file's start.
        const std::int64_t target = std::int64_t{part_offset_} + pos;
        if (target > 0xFFFFFFFF) return seek_failed;
        if (source_seek_to(source_, pos_type(off_type(target))) != seek_failed) {
            remaining_ = left;
            return pos_type(pos);
        }
        // The source cannot seek (a pipe): only reading forward is left.
    }
    if (left > remaining_) return seek_failed;
    std::uint32_t distance = remaining_ - left;
    if (skip(distance) < distance) return seek_failed;
    remaining_ = left;
    return pos_type(pos);
}

part_streambuf::pos_type part_streambuf::seekpos(pos_type pos, std::ios_base::openmode) {
    return seek_within_part(off_type(pos));
}

part_streambuf::pos_type part_streambuf::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) {
    std::int64_t length = part_length_;
    switch (dir) {
    case std::ios_base::beg:
        return seek_within_part(off);
    case std::ios_base::end:
        // The offset counts back from the end of the part.
        return seek_within_part(length - off);
    case std::ios_base::cur:
        return seek_within_part(length - remaining_ + off);
    default:
        return seek_failed;
    }
}

package_istream::package_istream(std::istream& source, bool hashing, std::streambuf* tee)
    : std::istream(nullptr), buffer_(new part_streambuf(source.rdbuf(), hashing, tee)) {
    init(buffer_.get());
    std::uint32_t magic = 0;
    std::uint32_t rest_length = 0;
    if (buffer_->read_file_header(magic, rest_length)) {
        magic_ = magic;
        total_size_ = rest_length + file_header_size;
    }
    if (magic_ != package_magic && magic_ != second_kind_magic) setstate(std::ios_base::badbit);
}

package_istream::~package_istream() = default;

int package_istream::next_part() {
    if (rdstate() & (std::ios_base::badbit | std::ios_base::failbit)) {
        current_type = -1;
        return -1;
    }
    clear(rdstate() & ~std::ios_base::eofbit);
    for (;;) {
        int type = buffer_->next_part_header();
        if (type < 0) {
            setstate(std::ios_base::eofbit | std::ios_base::failbit);
            current_type = -1;
            return -1;
        }
        current_type = type;
        if (std::find(wanted_types.begin(), wanted_types.end(), static_cast<std::uint32_t>(type)) != wanted_types.end())
            return type;
    }
}
