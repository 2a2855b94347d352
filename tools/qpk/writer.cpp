#include "qpk/writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/hash.h"
#include "store/package_format.h"
#include "stream/little_endian.h"
#include "stream/package_istream.h"

namespace qpk {

namespace {

void append_name_field(std::string& out, const std::string& name) {
    std::string field = name.substr(0, name_field_size);
    field.resize(name_field_size, '\0');
    out += field;
}

void append_description_parts(std::vector<raw_part>& parts, const description_fields& contents) {
    if (contents.text24) parts.push_back({part_type::text24, *contents.text24});
    if (contents.architecture) parts.push_back({part_type::architecture, *contents.architecture});
    if (contents.text2) parts.push_back({part_type::text2, *contents.text2});
    if (contents.note) parts.push_back({part_type::note, *contents.note});
    if (contents.dependencies)
        parts.push_back({part_type::dependency_list, encode_requirements(*contents.dependencies)});
    if (contents.provisions) parts.push_back({part_type::provision_list, encode_requirements(*contents.provisions)});
    if (contents.conflicts) parts.push_back({part_type::conflict_list, encode_requirements(*contents.conflicts)});
}

// Walks the parts the way the installer's package stream hashes them and
// calls at_signature with the digest buffer at each signature part.
template <typename AtSignature>
bool walk_signatures(const std::string& file, std::string& error, AtSignature at_signature) {
    std::vector<located_part> parts;
    if (!split_parts(file, parts, error)) return false;
    SHA1 sha1;
    SHA256 sha256;
    Hash* running = &sha1;
    digest_buffer digest{};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(file.data());
    for (const located_part& part : parts) {
        const unsigned char* header = bytes + part.offset - part_header_size;
        if (part.type == part_type::hash_switch) running = &sha256;
        if (part.type == part_type::package_header) running->finish(digest.data());
        running->update(header, part_header_size);
        std::uint32_t unhashed = 0;
        if (part.type == part_type::signature) {
            // The check finishes the hash here and reads the signature bytes
            // past it; a part too short to hold a signature is not read by
            // the check, and all of it is hashed when it is skipped.
            running->finish(digest.data());
            if (!at_signature(part, digest)) return false;
            unhashed = part.length >= long_signature_size    ? long_signature_size
                       : part.length >= short_signature_size ? short_signature_size
                                                              : 0;
        }
        running->update(bytes + part.offset + unhashed, part.length - unhashed);
    }
    return true;
}

}  // namespace

file_item regular_file(std::string name, std::string data, std::uint16_t permissions, std::uint8_t processor_class) {
    return {std::move(name), static_cast<std::uint16_t>(file_type_regular | (permissions & 07777)), processor_class,
            std::move(data)};
}

file_item directory_entry(std::string name, std::uint16_t permissions) {
    return {std::move(name), static_cast<std::uint16_t>(file_type_directory | (permissions & 07777)), 0, ""};
}

file_item symlink_entry(std::string name, std::string target) {
    return {std::move(name), static_cast<std::uint16_t>(file_type_symlink | 0777), 0, std::move(target)};
}

std::string encode_header(const description_fields& contents) {
    std::string out;
    append_name_field(out, contents.name);
    append_le32(out, contents.version);
    append_le32(out, contents.build_time);
    out.append(8, '\0');
    if (contents.header_flags_field) append_le32(out, contents.header_flags);
    return out;
}

std::string encode_requirements(const std::vector<requirement>& list) {
    std::string out;
    std::size_t count = std::min<std::size_t>(list.size(), 0xFFFF);
    append_le16(out, static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const requirement& req = list[i];
        append_name_field(out, req.name);
        append_le32(out, req.minimum);
        append_le32(out, 0);
        append_le32(out, req.maximum);
        append_le32(out, static_cast<std::uint32_t>(req.precedence));
    }
    return out;
}

std::string encode_file_entries(const std::vector<file_item>& files) {
    std::string out;
    for (const file_item& file : files) {
        append_le16(out, file.mode);
        out.append(21, '\0');
        out.push_back(static_cast<char>(file.processor_class));
        append_le32(out, static_cast<std::uint32_t>(file.data.size()));
        std::string name = file.name.substr(0, 0xFFFF);
        append_le16(out, static_cast<std::uint16_t>(name.size()));
        out += name;
        out += file.data;
    }
    return out;
}

std::string zlib_compress(const std::string& data) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    std::string out(length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), Z_BEST_COMPRESSION) != Z_OK)
        return {};
    out.resize(length);
    return out;
}

std::string encode_container(const std::vector<raw_part>& parts, bool second_magic) {
    std::string body;
    for (const raw_part& part : parts) {
        append_le16(body, part.type);
        append_le32(body, static_cast<std::uint32_t>(part.data.size()));
        body += part.data;
    }
    std::string out;
    append_le32(out, second_magic ? second_kind_magic : package_magic);
    append_le32(out, static_cast<std::uint32_t>(body.size()));
    return out + body;
}

std::vector<raw_part> package_parts(const package_contents& contents) {
    std::vector<raw_part> parts;
    if (contents.sha256) parts.push_back({part_type::hash_switch, ""});
    parts.push_back({part_type::package_header, encode_header(contents)});
    append_description_parts(parts, contents);
    if (contents.image) parts.push_back({part_type::image, *contents.image});
    if (contents.files) parts.push_back({part_type::file_archive, zlib_compress(encode_file_entries(*contents.files))});
    parts.push_back({part_type::signature, std::string(contents.signature_length, '\0')});
    parts.insert(parts.end(), contents.after_signature.begin(), contents.after_signature.end());
    return parts;
}

std::string build_package(const package_contents& contents, const sign_function& sign) {
    std::string file = encode_container(package_parts(contents), contents.second_magic);
    if (sign) {
        std::string error;
        if (!sign_parts(file, sign, error)) return {};
    }
    return file;
}

bool build_bundle(const bundle_contents& contents, std::string& out, std::string& error, const sign_function& sign) {
    std::vector<raw_part> parts;
    if (contents.sha256) parts.push_back({part_type::hash_switch, ""});
    parts.push_back({part_type::bundle_header, encode_header(contents)});
    append_description_parts(parts, contents);
    if (contents.image) parts.push_back({part_type::image, *contents.image});
    if (contents.default_disabled)
        parts.push_back({part_type::default_disabled_list, encode_requirements(*contents.default_disabled)});
    for (std::size_t i = 0; i < contents.members.size(); ++i) {
        const std::string& member = contents.members[i];
        std::vector<located_part> member_parts;
        if (!split_parts(member, member_parts, error)) {
            error = "member " + std::to_string(i + 1) + ": " + error;
            return false;
        }
        // A member runs from its package header through its signature.
        bool has_header = false;
        for (const located_part& part : member_parts) has_header |= part.type == part_type::package_header;
        if (!has_header) {
            error = "member " + std::to_string(i + 1) + ": no package header";
            return false;
        }
        for (const located_part& part : member_parts)
            parts.push_back({part.type, member.substr(part.offset, part.length)});
    }
    parts.insert(parts.end(), contents.after_members.begin(), contents.after_members.end());
    out = encode_container(parts, contents.second_magic);
    if (sign && !sign_parts(out, sign, error)) return false;
    return true;
}

bool split_parts(const std::string& file, std::vector<located_part>& parts, std::string& error) {
    parts.clear();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(file.data());
    if (file.size() < file_header_size) {
        error = "shorter than a file header";
        return false;
    }
    std::uint32_t magic = get_le32(bytes);
    if (magic != package_magic && magic != second_kind_magic) {
        error = "not a package file";
        return false;
    }
    if (static_cast<std::uint64_t>(get_le32(bytes + 4)) + file_header_size != file.size()) {
        error = "length field does not match the file size";
        return false;
    }
    std::size_t pos = file_header_size;
    while (pos < file.size()) {
        if (file.size() - pos < part_header_size) {
            error = "part header cut short at offset " + std::to_string(pos);
            return false;
        }
        located_part part;
        part.type = get_le16(bytes + pos);
        part.length = get_le32(bytes + pos + 2);
        part.offset = static_cast<std::uint32_t>(pos + part_header_size);
        if (file.size() - part.offset < part.length) {
            error = "part at offset " + std::to_string(pos) + " runs past the end of the file";
            return false;
        }
        parts.push_back(part);
        pos = part.offset + static_cast<std::size_t>(part.length);
    }
    return true;
}

bool signature_digests(const std::string& file, std::vector<digest_buffer>& digests, std::string& error) {
    digests.clear();
    return walk_signatures(file, error, [&](const located_part&, const digest_buffer& digest) {
        digests.push_back(digest);
        return true;
    });
}

bool sign_parts(std::string& file, const sign_function& sign, std::string& error) {
    // Each signature is written as soon as its digest is known: the bytes of
    // a part longer than a signature are hashed after it, and a later digest
    // must see them as they end up in the file.
    return walk_signatures(file, error, [&](const located_part& part, const digest_buffer& digest) {
        std::string data = sign(digest, part.length);
        if (data.size() != part.length) {
            error = "signature of " + std::to_string(data.size()) + " bytes for a part of " +
                    std::to_string(part.length) + " bytes";
            return false;
        }
        if (!data.empty()) std::memcpy(file.data() + part.offset, data.data(), data.size());
        return true;
    });
}

bool set_signature_lengths(std::string& file, std::uint32_t length, std::string& error) {
    std::vector<located_part> located;
    if (!split_parts(file, located, error)) return false;
    std::vector<raw_part> parts;
    for (const located_part& part : located) {
        parts.push_back({part.type, file.substr(part.offset, part.length)});
        if (part.type == part_type::signature) parts.back().data.resize(length, '\0');
    }
    const bool second_magic = get_le32(reinterpret_cast<const unsigned char*>(file.data())) == second_kind_magic;
    file = encode_container(parts, second_magic);
    return true;
}

}  // namespace qpk
