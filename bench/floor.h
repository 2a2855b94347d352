// The floor of installing a package: the least work any installer must do
// for it. The package file is read and hashed whole with SHA-1, its
// file archive inflated with zlib and the files written below a directory,
// through plain system calls with large buffers, and nothing else: no
// description, no signature check, no staging, no database.
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "store/package_format.h"
#include "stream/little_endian.h"

namespace floor_detail {

// Writes the inflated file entries as they arrive, through plain write calls.
class entry_writer {
public:
    explicit entry_writer(std::string root) : root_(std::move(root)) {}

    bool feed(const unsigned char* data, std::size_t n) {
        while (n > 0) {
            if (fd_ < 0) {
                std::size_t want = header_size + name_length_ - have_;
                std::size_t take = std::min(want, n);
                std::memcpy(header_ + have_, data, take);
                have_ += take;
                data += take;
                n -= take;
                if (have_ == header_size) entry_ = parse_file_entry_header(header_);
                if (have_ == header_size) name_length_ = entry_.name_length;
                if (have_ < header_size + name_length_) continue;
                const std::string path = root_ + std::string(reinterpret_cast<char*>(name_), name_length_);
                left_ = entry_.size;
                if (!entry_.is_regular()) {
                    std::filesystem::create_directories(path);
                    have_ = name_length_ = 0;
                    continue;
                }
                std::error_code ignored;
                std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
                fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd_ < 0) return false;
            }
            std::size_t take = std::min<std::size_t>(left_, n);
            if (take > 0 && ::write(fd_, data, take) != static_cast<ssize_t>(take)) return false;
            data += take;
            n -= take;
            left_ -= static_cast<std::uint32_t>(take);
            if (left_ == 0 && fd_ >= 0) {
                ::close(fd_);
                fd_ = -1;
                have_ = 0;
                name_length_ = 0;
            }
        }
        return true;
    }

private:
    static constexpr std::size_t header_size = 30;
    std::string root_;
    unsigned char header_[header_size + 65535];
    unsigned char* name_ = header_ + header_size;
    std::size_t have_ = 0;
    std::size_t name_length_ = 0;
    file_entry entry_;
    std::uint32_t left_ = 0;
    int fd_ = -1;
};

}  // namespace floor_detail

// Installs the package file at package below root (a directory path ending
// in "/") the floor's way, reading it 64 KiB at a time; true when the
// archive inflated to its end and every file was written.
inline bool install_floor(const char* package, const std::string& root) {
    const int fd = ::open(package, O_RDONLY);
    if (fd < 0) return false;
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    EVP_DigestInit_ex(hash, EVP_sha1(), nullptr);
    z_stream z{};
    inflateInit(&z);
    auto writer = std::make_unique<floor_detail::entry_writer>(root);
    static unsigned char in[1 << 16];
    static unsigned char out[1 << 16];
    // Where the reading stands: in the file header, in a part header (head
    // holds what has come of it), or in the data of a part.
    std::uint64_t offset = 0;
    unsigned char head[6];
    std::size_t head_have = 0;
    std::uint32_t part_left = 0;
    bool in_data = false, archive = false;
    int result = Z_OK;
    bool good = true;
    ssize_t n;
    while (good && (n = ::read(fd, in, sizeof in)) > 0) {
        const std::size_t got = static_cast<std::size_t>(n);
        std::size_t at = offset < 8 ? std::min<std::size_t>(8 - offset, got) : 0;
        offset += got;
        EVP_DigestUpdate(hash, in + at, got - at);
        while (at < got && good) {
            if (!in_data) {
                const std::size_t take = std::min(sizeof head - head_have, got - at);
                std::memcpy(head + head_have, in + at, take);
                head_have += take;
                at += take;
                if (head_have < sizeof head) continue;
                head_have = 0;
                archive = get_le16(head) == part_type::file_archive;
                part_left = get_le32(head + 2);
                in_data = part_left != 0;
                continue;
            }
            const std::size_t take = std::min<std::size_t>(part_left, got - at);
            if (archive && result == Z_OK) {
                z.next_in = in + at;
                z.avail_in = static_cast<uInt>(take);
                do {
                    z.next_out = out;
                    z.avail_out = sizeof out;
                    result = inflate(&z, Z_NO_FLUSH);
                    good = writer->feed(out, sizeof out - z.avail_out);
                } while (good && result == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
            }
            at += take;
            part_left -= static_cast<std::uint32_t>(take);
            in_data = part_left != 0;
        }
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    EVP_DigestFinal_ex(hash, digest, &digest_length);
    EVP_MD_CTX_free(hash);
    // The digest is what the hashing is for; keep the compiler from dropping it.
    asm volatile("" : : "r"(digest) : "memory");
    inflateEnd(&z);
    return good && result == Z_STREAM_END;
}
