// The content of a package file: the part types, the layout of their data,
// and the reading of the description parts into a package description.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <vector>

#include "store/package.h"
#include "stream/package_istream.h"

// The part types, by the numbers the files store. The package stream knows
// parts by number only, so the names stand for their numbers wherever one
// is compared or asked for.
namespace part_type {
enum number : std::uint16_t {
    package_header = 1,
    text2 = 2,
    dependency_list = 3,
    file_archive = 4,
    signature = 9,
    architecture = 16,
    conflict_list = 17,
    bundle_header = 18,
    provision_list = 19,
    default_disabled_list = 20,
    image = 21,
    note = 23,
    text24 = 24,
    // Not read: its header makes SHA-256 the running hash.
    hash_switch = 25,
};
}  // namespace part_type

// Name fields are 16 bytes, NUL-padded; a 16-character name has no NUL.
constexpr std::size_t name_field_size = 16;
// A header part holds name, version, build time and 8 unread bytes, then
// optionally the header flags.
constexpr std::size_t header_part_size = 32;
constexpr std::size_t header_part_size_with_flags = 36;
constexpr std::size_t requirement_entry_size = 32;
// The most that is kept of a text, architecture or note part.
constexpr std::uint32_t max_text_part = 65536;

// The most members a bundle file may have. Real bundles hold tens; a file of
// nothing but member headers would otherwise cost many times its size in
// memory each time it is read. One with more is a broken file.
constexpr std::size_t max_bundle_members = 1024;

// Architecture of a package without an architecture part.
inline constexpr const char* default_architecture = "i386";

// The part types each reader asks for, in the order they are registered.
// Scanning a download directory:
inline constexpr std::array<std::uint32_t, 10> scan_wanted_types = {
    part_type::bundle_header, part_type::package_header, part_type::text24,         part_type::architecture,
    part_type::text2,         part_type::note,           part_type::dependency_list, part_type::provision_list,
    part_type::conflict_list, part_type::image};
// Loading the package images of the package database:
inline constexpr std::array<std::uint32_t, 7> image_wanted_types = {
    part_type::bundle_header,   part_type::package_header, part_type::text24,       part_type::note,
    part_type::dependency_list, part_type::provision_list, part_type::conflict_list};
// Installing from a package stream:
inline constexpr std::array<std::uint32_t, 10> install_wanted_types = {
    part_type::package_header,  part_type::bundle_header,  part_type::default_disabled_list, part_type::architecture,
    part_type::dependency_list, part_type::provision_list, part_type::conflict_list,         part_type::image,
    part_type::file_archive,    part_type::signature};

// Appends types to the stream's wanted types.
void add_wanted_types(package_istream& stream, std::span<const std::uint32_t> types);

// Reads the description parts into description. The current part must be a
// package or bundle header. Leaves the stream at the first wanted part that
// does not belong to the description (an image part is left unconsumed).
// False when the header is not a header part or is short, or when a
// requirement list is short.
bool read_description(package_description& description, package_istream& stream);

// Reads the current part's data as a requirement list and appends the
// entries in file order. False when the count or an entry is short; the
// entries read before stay in list.
bool read_requirements(std::istream& stream, std::vector<requirement>& list);

// A file entry of the inflated file archive: a 30-byte header, the name,
// then the file's data.
constexpr std::size_t file_entry_header_size = 30;
constexpr std::uint16_t file_type_mask = 0xF000;
constexpr std::uint16_t file_type_regular = 0x8000;
constexpr std::uint16_t file_type_directory = 0x4000;
constexpr std::uint16_t file_type_symlink = 0xA000;

struct file_entry {
    // File type bits and permission bits, as in st_mode.
    std::uint16_t mode = 0;
    // 0: for every processor; otherwise only for the board variant of this value.
    std::uint8_t processor_class = 0;
    std::uint32_t size = 0;
    std::uint16_t name_length = 0;

    bool is_regular() const { return (mode & file_type_mask) == file_type_regular; }
};

file_entry parse_file_entry_header(const unsigned char* header);
