#include "store/package_format.h"

#include <algorithm>

#include "stream/little_endian.h"

namespace {

std::string name_from_field(const unsigned char* field) {
    std::size_t length = 0;
    while (length < name_field_size && field[length] != 0) ++length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// Reads exactly n bytes; false when fewer arrive.
bool read_exactly(std::istream& stream, unsigned char* out, std::streamsize n) {
    stream.read(reinterpret_cast<char*>(out), n);
    return stream.gcount() == n;
}

// The current part's bytes. The length field comes from the file and may
// promise far more than the file holds, so the text grows only by what the
// part actually delivers, read in bounded chunks, and never beyond
// max_text_part: a package file found in a download directory is read before
// any signature is checked, and a huge note must not exhaust the router's
// memory. The rest of an over-long part is skipped with the part.
std::string read_part_text(package_istream& stream) {
    std::string text;
    std::uint32_t left = std::min<std::uint32_t>(stream.part_length(), max_text_part);
    char chunk[4096];
    while (left != 0) {
        std::streamsize want = std::min<std::uint32_t>(left, sizeof chunk);
        stream.read(chunk, want);
        std::streamsize got = stream.gcount();
        text.append(chunk, static_cast<std::size_t>(got));
        if (got < want) break;
        left -= static_cast<std::uint32_t>(got);
    }
    return text;
}

}  // namespace

void add_wanted_types(package_istream& stream, std::span<const std::uint32_t> types) {
    stream.wanted_types.insert(stream.wanted_types.end(), types.begin(), types.end());
}

bool read_requirements(std::istream& stream, std::vector<requirement>& list) {
    unsigned char count_bytes[2];
    if (!read_exactly(stream, count_bytes, sizeof count_bytes)) return false;
    std::uint16_t count = get_le16(count_bytes);
    for (std::uint16_t i = 0; i < count; ++i) {
        unsigned char entry[requirement_entry_size];
        if (!read_exactly(stream, entry, sizeof entry)) return false;
        requirement req;
        req.name = name_from_field(entry);
        req.minimum = get_le32(entry + 16);
        req.maximum = get_le32(entry + 24);
        req.precedence = static_cast<std::int32_t>(get_le32(entry + 28));
        list.push_back(std::move(req));
    }
    return true;
}

bool read_description(package_description& description, package_istream& stream) {
    if (stream.current_type != part_type::package_header && stream.current_type != part_type::bundle_header)
        return false;
    description.bundle = stream.current_type == part_type::bundle_header;

    unsigned char header[header_part_size];
    if (!read_exactly(stream, header, sizeof header)) return false;
    description.name = name_from_field(header);
    description.version = get_le32(header + 16);
    description.build_time = get_le32(header + 20);

    unsigned char flags[4];
    if (read_exactly(stream, flags, sizeof flags)) {
        description.header_flags = get_le32(flags);
    } else {
        // A 32-byte header part carries no flags; reading goes on.
        description.header_flags = 0;
        stream.clear();
    }
    stream.next_part();

    if (stream.current_type == part_type::text24) {
        description.text24 = read_part_text(stream);
        stream.next_part();
    }
    if (stream.current_type == part_type::architecture) {
        description.architecture = read_part_text(stream);
        stream.next_part();
    } else {
        description.architecture = default_architecture;
    }
    if (stream.current_type == part_type::text2) {
        description.text2 = read_part_text(stream);
        stream.next_part();
    }
    if (stream.current_type == part_type::note) {
        description.note = read_part_text(stream);
        stream.next_part();
    }
    if (stream.current_type == part_type::dependency_list) {
        if (!read_requirements(stream, description.dependencies)) return false;
        stream.next_part();
    }
    if (stream.current_type == part_type::provision_list) {
        if (!read_requirements(stream, description.provisions)) return false;
        stream.next_part();
    }
    if (stream.current_type == part_type::conflict_list) {
        if (!read_requirements(stream, description.conflicts)) return false;
        stream.next_part();
    }
    if (stream.current_type == part_type::image) description.image = true;
    return true;
}

file_entry parse_file_entry_header(const unsigned char* header) {
    file_entry entry;
    entry.mode = get_le16(header);
    entry.processor_class = header[23];
    entry.size = get_le32(header + 24);
    entry.name_length = get_le16(header + 28);
    return entry;
}
