// Building package files in memory: the container of typed parts, the
// description parts, the compressed file archive, the signature parts, and
// bundles made of member package files. The qpk tool and the tests share it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/package.h"

namespace qpk {

// One entry of the file archive.
struct file_item {
    std::string name;  // path in the package, with or without a leading "/"
    // File type bits and permission bits, as in st_mode.
    std::uint16_t mode = 0100644;
    // 0: every processor; otherwise only the board variant of this value.
    std::uint8_t processor_class = 0;
    // Contents of a regular file; the target of a symbolic link; empty for a directory.
    std::string data;
};

file_item regular_file(std::string name, std::string data, std::uint16_t permissions = 0644,
                       std::uint8_t processor_class = 0);
file_item directory_entry(std::string name, std::uint16_t permissions = 0755);
file_item symlink_entry(std::string name, std::string target);

// A part as it stands in the file.
struct raw_part {
    std::uint16_t type = 0;
    std::string data;
};

// What a package or bundle header and its description parts say.
struct description_fields {
    std::string name;  // cut to 16 bytes in the file
    std::uint32_t version = 0;
    std::uint32_t build_time = 0;
    std::uint32_t header_flags = 0;
    // false writes the 32-byte header part, which carries no header flags.
    bool header_flags_field = true;
    // Absent parts are not written at all; present ones may be empty.
    std::optional<std::string> text24;
    std::optional<std::string> architecture;
    std::optional<std::string> text2;
    std::optional<std::string> note;
    std::optional<std::vector<requirement>> dependencies;
    std::optional<std::vector<requirement>> provisions;
    std::optional<std::vector<requirement>> conflicts;
    // Data of the image part.
    std::optional<std::string> image;
    // Magic 0xA1100FFB instead of 0xBAD0F11E.
    bool second_magic = false;
};

struct package_contents : description_fields {
    // A hash switch part before the header, so that the signature covers a
    // SHA-256 digest instead of a SHA-1 digest.
    bool sha256 = false;
    // The file archive; no archive part when absent.
    std::optional<std::vector<file_item>> files;
    // 132 (EdDSA and Curve25519 signatures) or 68 (Curve25519 only); written
    // as zero bytes unless a signing function fills it.
    std::uint32_t signature_length = 132;
    // Parts after the signature (an architecture part, an empty dependency list).
    std::vector<raw_part> after_signature;
};

struct bundle_contents : description_fields {
    // A hash switch part before the bundle header: every member's signature
    // then covers a SHA-256 digest. Members signed over SHA-1 must be signed
    // again for it.
    bool sha256 = false;
    // Names of the members that are installed disabled by default; no
    // default-disabled member list part when absent.
    std::optional<std::vector<requirement>> default_disabled;
    // Whole member package files, in order.
    std::vector<std::string> members;
    // Parts after the last member (an architecture part).
    std::vector<raw_part> after_members;
};

// The digest buffer that the installer's package stream holds when it stops
// at a signature part: SHA-1 (20 bytes, then 12 zero bytes) or SHA-256 over
// the bytes from the last package header's part header through the
// signature's part header.
using digest_buffer = std::array<unsigned char, 32>;

// Makes the data of a signature part of the given length for the digest
// buffer at that part. It must return exactly length bytes.
using sign_function = std::function<std::string(const digest_buffer& digest, std::size_t length)>;

// Part data encoders.
std::string encode_header(const description_fields& contents);
std::string encode_requirements(const std::vector<requirement>& list);
// The uncompressed sequence of file entries.
std::string encode_file_entries(const std::vector<file_item>& files);
// A zlib stream (header and trailer) of data.
std::string zlib_compress(const std::string& data);

// A whole file: the 8-byte file header and the parts.
std::string encode_container(const std::vector<raw_part>& parts, bool second_magic);

// The parts of a package in the order the installer reads them; the
// signature part holds zero bytes.
std::vector<raw_part> package_parts(const package_contents& contents);

// A whole package file. With sign, every signature part is filled by it.
std::string build_package(const package_contents& contents, const sign_function& sign = nullptr);

// A whole bundle file. False (with error set) when a member is not a
// well-formed package file. With sign, every signature part (one per
// member) is filled again by it; without, the members keep their own.
bool build_bundle(const bundle_contents& contents, std::string& out, std::string& error,
                  const sign_function& sign = nullptr);

// The parts of a whole file, with the offset of each part's data. False
// (with error set) when the file header or a part runs past the file's end.
struct located_part {
    std::uint32_t offset = 0;  // of the part's data
    std::uint16_t type = 0;
    std::uint32_t length = 0;
};
bool split_parts(const std::string& file, std::vector<located_part>& parts, std::string& error);

// The digest buffer at each signature part of a whole file, in file order.
bool signature_digests(const std::string& file, std::vector<digest_buffer>& digests, std::string& error);

// Fills every signature part of a whole file with sign.
bool sign_parts(std::string& file, const sign_function& sign, std::string& error);

// Gives every signature part of a whole file the data length length (the
// data cut or padded with zero bytes), for signing it again at another
// signature level. False (with error set) when the file is malformed.
bool set_signature_lengths(std::string& file, std::uint32_t length, std::string& error);

}  // namespace qpk
