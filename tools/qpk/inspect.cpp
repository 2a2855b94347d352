#include "qpk/inspect.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "resolve/version.h"
#include "store/package_format.h"
#include "stream/inflate_istream.h"
#include "stream/little_endian.h"
#include "stream/package_istream.h"

namespace qpk {

namespace {

const char* part_name(std::uint32_t type) {
    switch (type) {
    case part_type::package_header: return "package header";
    case part_type::bundle_header: return "bundle header";
    case part_type::text24: return "text 24";
    case part_type::architecture: return "architecture";
    case part_type::text2: return "text 2";
    case part_type::note: return "note";
    case part_type::dependency_list: return "dependency list";
    case part_type::provision_list: return "provision list";
    case part_type::conflict_list: return "conflict list";
    case part_type::default_disabled_list: return "default-disabled member list";
    case part_type::image: return "image";
    case part_type::file_archive: return "file archive";
    case part_type::signature: return "signature";
    case part_type::hash_switch: return "hash switch (SHA-256)";
    default: return "unknown (skipped by the installer)";
    }
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
    }
    return out + "\"";
}

std::string bound_text(std::uint32_t version) { return version == 0 ? "-" : format_version(version); }

std::string requirement_line(const requirement& req) {
    return quoted(req.name) + " min " + bound_text(req.minimum) + " max " + bound_text(req.maximum) +
           " precedence " + std::to_string(req.precedence);
}

std::string time_text(std::uint32_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts;
    char text[64] = "";
    if (gmtime_r(&t, &parts)) std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &parts);
    return text;
}

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out;
    char pair[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out;
}

struct file_line {
    std::uint16_t mode = 0;
    std::uint8_t processor_class = 0;
    std::uint32_t size = 0;
    std::string name;
    std::string link_target;
};

struct archive_info {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::vector<file_line> entries;
    std::string problem;
};

struct signature_info {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    bool sha256 = false;
    unsigned char digest[digest_buffer_size] = {};
};

// What belongs to one package or bundle header, keyed by its part offset.
struct header_info {
    std::uint16_t type = 0;
    bool described = false;
    bool description_ok = false;
    package_description description;
    std::vector<std::vector<requirement>> default_disabled;
    std::vector<archive_info> archives;
    std::vector<signature_info> signatures;
};

// Reads the file entries of the current (archive) part through the
// inflating stream, as the installer does when it extracts them.
void read_archive(package_istream& stream, archive_info& archive) {
    inflate_istream inflated(stream);
    for (;;) {
        unsigned char header[file_entry_header_size];
        inflated.read(reinterpret_cast<char*>(header), sizeof header);
        if (inflated.gcount() == 0) return;
        if (inflated.gcount() < static_cast<std::streamsize>(sizeof header)) {
            archive.problem = "the archive ends inside an entry header";
            return;
        }
        file_entry entry = parse_file_entry_header(header);
        file_line line;
        line.mode = entry.mode;
        line.processor_class = entry.processor_class;
        line.size = entry.size;
        line.name.resize(entry.name_length);
        inflated.read(line.name.data(), entry.name_length);
        if (inflated.gcount() != entry.name_length) {
            archive.problem = "the archive ends inside an entry name";
            return;
        }
        bool link = (entry.mode & file_type_mask) == file_type_symlink;
        if (link && entry.size <= 4096) {
            line.link_target.resize(entry.size);
            inflated.read(line.link_target.data(), entry.size);
            if (inflated.gcount() != static_cast<std::streamsize>(entry.size)) {
                archive.entries.push_back(line);
                archive.problem = "the archive ends inside the data of " + line.name;
                return;
            }
        } else if (entry.size != 0 && !inflated.seekg(entry.size, std::ios_base::cur)) {
            archive.entries.push_back(line);
            archive.problem = "the archive ends inside the data of " + line.name;
            return;
        }
        archive.entries.push_back(line);
    }
}

void print_description(std::FILE* out, const header_info& info) {
    const package_description& d = info.description;
    std::fprintf(out, "  name          %s\n", quoted(d.name).c_str());
    std::fprintf(out, "  version       %s (0x%08x)\n", format_version(d.version).c_str(), d.version);
    std::fprintf(out, "  build time    %u (%s)\n", d.build_time, time_text(d.build_time).c_str());
    std::string flags;
    if (d.header_flags & header_flag_boot) flags += " boot";
    if (d.header_flags & header_flag_no_meta) flags += " no-meta";
    std::fprintf(out, "  header flags  0x%08x%s\n", d.header_flags, flags.c_str());
    std::fprintf(out, "  text 24       %s\n", quoted(d.text24).c_str());
    std::fprintf(out, "  architecture  %s\n", quoted(d.architecture).c_str());
    std::fprintf(out, "  text 2        %s\n", quoted(d.text2).c_str());
    std::fprintf(out, "  note          %s\n", quoted(d.note).c_str());
    const struct {
        const char* label;
        const std::vector<requirement>& list;
    } lists[] = {{"depends", d.dependencies}, {"provides", d.provisions}, {"conflicts", d.conflicts}};
    for (const auto& l : lists) {
        if (l.list.empty()) std::fprintf(out, "  %-13s -\n", l.label);
        for (const requirement& req : l.list) std::fprintf(out, "  %-13s %s\n", l.label, requirement_line(req).c_str());
    }
    std::fprintf(out, "  image part    %s\n", d.image ? "yes" : "no");
}

}  // namespace

int inspect_file(const std::string& path, std::FILE* out, std::FILE* err) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(err, "qpk: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::ostringstream whole;
    whole << file.rdbuf();
    if (file.bad()) {
        std::fprintf(err, "qpk: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    const std::string bytes = whole.str();
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < file_header_size) {
        std::fprintf(err, "qpk: %s: not a package file: shorter than a file header\n", path.c_str());
        return 1;
    }
    std::uint32_t magic = get_le32(data);
    if (magic != package_magic && magic != second_kind_magic) {
        std::fprintf(err, "qpk: %s: not a package file: magic 0x%08x\n", path.c_str(), magic);
        return 1;
    }
    int status = 0;
    std::uint64_t declared = static_cast<std::uint64_t>(get_le32(data + 4)) + file_header_size;

    std::fprintf(out, "file          %s\n", path.c_str());
    std::fprintf(out, "magic         0x%08x (%s)\n", magic, magic == package_magic ? "package" : "second-kind package");
    std::fprintf(out, "size          %zu bytes, the file header says %llu\n", bytes.size(),
                 static_cast<unsigned long long>(declared));
    if (declared != bytes.size()) {
        std::fprintf(err, "qpk: %s: the file has %zu bytes but its header says %llu\n", path.c_str(), bytes.size(),
                     static_cast<unsigned long long>(declared));
        status = 1;
    }

    // The part table, straight from the bytes.
    std::fprintf(out, "\n%8s %6s %10s  %s\n", "offset", "type", "length", "part");
    std::size_t pos = file_header_size;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < part_header_size) {
            std::fprintf(err, "qpk: %s: part header cut short at offset %zu\n", path.c_str(), pos);
            status = 1;
            break;
        }
        std::uint16_t type = get_le16(data + pos);
        std::uint32_t length = get_le32(data + pos + 2);
        std::size_t offset = pos + part_header_size;
        std::fprintf(out, "%8zu %6u %10u  %s\n", offset, type, length, part_name(type));
        if (bytes.size() - offset < length) {
            std::fprintf(err, "qpk: %s: the part at offset %zu runs past the end of the file\n", path.c_str(), offset);
            status = 1;
            break;
        }
        pos = offset + length;
    }

    std::map<std::uint32_t, header_info> headers;

    // The descriptions, read as the download scan reads them.
    {
        std::istringstream source(bytes);
        package_istream stream(source, false);
        add_wanted_types(stream, scan_wanted_types);
        int type = stream.next_part();
        while (type != -1) {
            if (type == part_type::package_header || type == part_type::bundle_header) {
                header_info& info = headers[stream.part_offset()];
                info.type = static_cast<std::uint16_t>(type);
                info.described = true;
                info.description_ok = read_description(info.description, stream);
                if (!info.description_ok) {
                    stream.clear();
                    type = stream.next_part();
                } else {
                    type = stream.current_type;
                }
                continue;
            }
            type = stream.next_part();
        }
    }

    // Member lists, file archives and signatures, read as the installer reads
    // them while it installs, with the running hash on.
    {
        std::istringstream source(bytes);
        package_istream stream(source, true);
        stream.wanted_types = {part_type::package_header, part_type::bundle_header, part_type::default_disabled_list,
                               part_type::file_archive, part_type::signature, part_type::hash_switch};
        header_info* current = nullptr;
        bool sha256 = false;
        while (stream.next_part() != -1) {
            switch (stream.current_type) {
            case part_type::hash_switch:
                sha256 = true;
                break;
            case part_type::package_header:
            case part_type::bundle_header:
                current = &headers[stream.part_offset()];
                current->type = static_cast<std::uint16_t>(stream.current_type);
                break;
            case part_type::default_disabled_list:
                if (current) {
                    current->default_disabled.emplace_back();
                    if (!read_requirements(stream, current->default_disabled.back())) stream.clear();
                }
                break;
            case part_type::file_archive:
                if (current) {
                    archive_info archive;
                    archive.offset = stream.part_offset();
                    archive.length = stream.part_length();
                    read_archive(stream, archive);
                    stream.clear();
                    current->archives.push_back(std::move(archive));
                }
                break;
            case part_type::signature:
                if (current) {
                    signature_info signature;
                    signature.offset = stream.part_offset();
                    signature.length = stream.part_length();
                    signature.sha256 = sha256;
                    stream.verify_signature();
                    std::memcpy(signature.digest, stream.parts().digest(), digest_buffer_size);
                    current->signatures.push_back(signature);
                }
                break;
            }
        }
    }

    for (const auto& [offset, info] : headers) {
        std::fprintf(out, "\n%s at offset %u\n", info.type == part_type::bundle_header ? "bundle" : "package", offset);
        if (!info.described) {
            std::fprintf(out, "  (description not reached)\n");
        } else if (!info.description_ok) {
            std::fprintf(out, "  (description unreadable: the installer refuses it)\n");
            status = 1;
        } else {
            print_description(out, info);
        }
        for (const auto& list : info.default_disabled) {
            std::fprintf(out, "  default-disabled members:");
            if (list.empty()) std::fprintf(out, " -");
            for (const requirement& req : list) std::fprintf(out, " %s", quoted(req.name).c_str());
            std::fprintf(out, "\n");
        }
        for (const archive_info& archive : info.archives) {
            std::fprintf(out, "  files in the archive at offset %u (%u bytes compressed):\n", archive.offset,
                         archive.length);
            std::fprintf(out, "    %6s %5s %10s  %s\n", "mode", "class", "size", "name");
            for (const file_line& line : archive.entries) {
                std::string name = quoted(line.name);
                if ((line.mode & file_type_mask) == file_type_symlink) name += " -> " + quoted(line.link_target);
                std::fprintf(out, "    %06o %5u %10u  %s\n", line.mode, line.processor_class, line.size,
                             name.c_str());
            }
            if (!archive.problem.empty()) {
                std::fprintf(out, "    (%s)\n", archive.problem.c_str());
                std::fprintf(err, "qpk: %s: %s\n", path.c_str(), archive.problem.c_str());
                status = 1;
            }
        }
        for (const signature_info& signature : info.signatures) {
            std::size_t digest_size = signature.sha256 ? 32 : 20;
            std::fprintf(out, "  signature at offset %u, %u bytes, over the %s digest %s\n", signature.offset,
                         signature.length, signature.sha256 ? "SHA-256" : "SHA-1",
                         hex(signature.digest, digest_size).c_str());
        }
    }
    return status;
}

}  // namespace qpk
