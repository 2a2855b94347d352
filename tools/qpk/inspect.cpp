#include "qpk/inspect.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "console/package_table.h"
#include "platform/regular_file.h"
#include "qpk/exit_status.h"
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

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out;
    char pair[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out;
}

// The file entries of the current (archive) part, read through the
// inflating stream as the installer reads them when it extracts them, and
// printed as they are read: nothing of an entry is kept past its line.
void print_archive(package_istream& stream, const std::string& path, std::FILE* out, std::FILE* err, bool& ok) {
    std::fprintf(out, "  files in the archive at offset %u (%u bytes compressed):\n", stream.part_offset(),
                 stream.part_length());
    std::fprintf(out, "    %6s %5s %10s  %s\n", "mode", "class", "size", "name");
    inflate_istream inflated(stream);
    std::string problem;
    std::string name;
    std::string link_target;
    auto print_entry = [&](const file_entry& entry) {
        std::string shown = quoted(name);
        if ((entry.mode & file_type_mask) == file_type_symlink) shown += " -> " + quoted(link_target);
        std::fprintf(out, "    %06o %5u %10u  %s\n", entry.mode, entry.processor_class, entry.size, shown.c_str());
    };
    for (;;) {
        unsigned char header[file_entry_header_size];
        inflated.read(reinterpret_cast<char*>(header), sizeof header);
        if (inflated.gcount() == 0) break;
        if (inflated.gcount() < static_cast<std::streamsize>(sizeof header)) {
            problem = "the archive ends inside an entry header";
            break;
        }
        file_entry entry = parse_file_entry_header(header);
        name.assign(entry.name_length, '\0');
        link_target.clear();
        inflated.read(name.data(), entry.name_length);
        if (inflated.gcount() != entry.name_length) {
            problem = "the archive ends inside an entry name";
            break;
        }
        bool link = (entry.mode & file_type_mask) == file_type_symlink;
        bool whole = true;
        if (link && entry.size <= 4096) {
            link_target.resize(entry.size);
            inflated.read(link_target.data(), entry.size);
            whole = inflated.gcount() == static_cast<std::streamsize>(entry.size);
        } else if (entry.size != 0) {
            whole = static_cast<bool>(inflated.seekg(entry.size, std::ios_base::cur));
        }
        print_entry(entry);
        if (!whole) {
            problem = "the archive ends inside the data of " + name;
            break;
        }
    }
    if (!problem.empty()) {
        std::fprintf(out, "    (%s)\n", problem.c_str());
        std::fprintf(err, "qpk: %s: %s\n", path.c_str(), problem.c_str());
        ok = false;
    }
}

// One package or bundle header with its description as the download scan
// reads it.
struct described_header {
    std::uint32_t offset = 0;
    std::uint16_t type = 0;
    bool ok = false;
    std::unique_ptr<package_description> description;
};

// The descriptions of a file, one header at a time, in file order.
class description_reader {
public:
    explicit description_reader(std::istream& source) : stream_(source, false) {
        add_wanted_types(stream_, scan_wanted_types);
        type_ = stream_.next_part();
    }

    bool next(described_header& header) {
        for (; type_ != -1; type_ = stream_.next_part()) {
            if (type_ != part_type::package_header && type_ != part_type::bundle_header) continue;
            header.offset = stream_.part_offset();
            header.type = static_cast<std::uint16_t>(type_);
            header.description = std::make_unique<package_description>();
            header.ok = read_description(*header.description, stream_);
            if (header.ok) {
                type_ = stream_.current_type;
            } else {
                stream_.clear();
                type_ = stream_.next_part();
            }
            return true;
        }
        return false;
    }

private:
    package_istream stream_;
    int type_ = -1;
};

void print_description(std::FILE* out, const package_description& d) {
    std::fprintf(out, "  name          %s\n", quoted(d.name).c_str());
    std::fprintf(out, "  version       %s (0x%08x)\n", format_version(d.version).c_str(), d.version);
    std::fprintf(out, "  build time    %u (%s)\n", d.build_time, build_time_text(d.build_time).c_str());
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

// The file header: magic and length. False (after a report) when the file
// is no package file at all; ok turns false when its length is wrong.
bool print_file_header(regular_istream& file, const std::string& path, std::FILE* out, std::FILE* err, bool& ok) {
    const std::uint64_t size = static_cast<std::uint64_t>(file.status().st_size);
    unsigned char head[file_header_size];
    if (size < file_header_size || !file.read(reinterpret_cast<char*>(head), sizeof head)) {
        std::fprintf(err, "qpk: %s: not a package file: shorter than a file header\n", path.c_str());
        return false;
    }
    std::uint32_t magic = get_le32(head);
    if (magic != package_magic && magic != second_kind_magic) {
        std::fprintf(err, "qpk: %s: not a package file: magic 0x%08x\n", path.c_str(), magic);
        return false;
    }
    std::uint64_t declared = static_cast<std::uint64_t>(get_le32(head + 4)) + file_header_size;
    std::fprintf(out, "file          %s\n", path.c_str());
    std::fprintf(out, "magic         0x%08x (%s)\n", magic, magic == package_magic ? "package" : "second-kind package");
    std::fprintf(out, "size          %llu bytes, the file header says %llu\n", static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(declared));
    if (declared != size) {
        std::fprintf(err, "qpk: %s: the file has %llu bytes but its header says %llu\n", path.c_str(),
                     static_cast<unsigned long long>(size), static_cast<unsigned long long>(declared));
        ok = false;
    }
    return true;
}

// The part table, straight from the part headers; ok turns false at a part
// header cut short or a part that runs past the end of the file.
void print_part_table(regular_istream& file, const std::string& path, std::FILE* out, std::FILE* err, bool& ok) {
    const std::uint64_t size = static_cast<std::uint64_t>(file.status().st_size);
    std::fprintf(out, "\n%8s %6s %10s  %s\n", "offset", "type", "length", "part");
    std::uint64_t pos = file_header_size;
    while (pos < size) {
        unsigned char part[part_header_size];
        if (size - pos < part_header_size || !file.seekg(static_cast<std::streamoff>(pos)) ||
            !file.read(reinterpret_cast<char*>(part), sizeof part)) {
            std::fprintf(err, "qpk: %s: part header cut short at offset %llu\n", path.c_str(),
                         static_cast<unsigned long long>(pos));
            ok = false;
            return;
        }
        std::uint16_t type = get_le16(part);
        std::uint32_t length = get_le32(part + 2);
        std::uint64_t offset = pos + part_header_size;
        std::fprintf(out, "%8llu %6u %10u  %s\n", static_cast<unsigned long long>(offset), type, length,
                     part_name(type));
        if (size - offset < length) {
            std::fprintf(err, "qpk: %s: the part at offset %llu runs past the end of the file\n", path.c_str(),
                         static_cast<unsigned long long>(offset));
            ok = false;
            return;
        }
        pos = offset + length;
    }
}

// Two readings side by side, on two descriptors of the same file: the
// descriptions as the download scan reads them (second), and the member
// lists, file archives and signatures as the installer reads them while it
// installs, with the running hash on (file). Each header's block is printed
// as the readings reach it, in file order; ok turns false at what the
// installer refuses.
void walk_packages(regular_istream& file, regular_istream& second, const std::string& path, std::FILE* out,
                   std::FILE* err, bool& ok) {
    file.clear();
    file.seekg(0);
    description_reader descriptions(second);
    described_header described;
    bool have_described = descriptions.next(described);
    auto start_block = [&](std::uint16_t type, std::uint32_t offset) {
        std::fprintf(out, "\n%s at offset %u\n", type == part_type::bundle_header ? "bundle" : "package", offset);
        if (!have_described || described.offset != offset) {
            std::fprintf(out, "  (description not reached)\n");
            return;
        }
        if (described.ok) {
            print_description(out, *described.description);
        } else {
            std::fprintf(out, "  (description unreadable: the installer refuses it)\n");
            ok = false;
        }
        have_described = descriptions.next(described);
    };
    // Headers that only the description reading reached, up to offset.
    auto described_before = [&](std::uint64_t offset) {
        while (have_described && described.offset < offset) start_block(described.type, described.offset);
    };
    package_istream stream(file, true);
    stream.wanted_types = {part_type::package_header, part_type::bundle_header, part_type::default_disabled_list,
                           part_type::file_archive, part_type::signature, part_type::hash_switch};
    bool in_header = false;
    bool sha256 = false;
    std::size_t members = 0;
    bool in_bundle = false;
    while (stream.next_part() != -1) {
        switch (stream.current_type) {
        case part_type::hash_switch:
            sha256 = true;
            break;
        case part_type::package_header:
        case part_type::bundle_header:
            if (stream.current_type == part_type::bundle_header) {
                in_bundle = true;
                members = 0;
            } else if (in_bundle && ++members == max_bundle_members + 1) {
                std::fprintf(err, "qpk: %s: the bundle has more than %zu members: the installer refuses it\n",
                             path.c_str(), max_bundle_members);
                ok = false;
            }
            in_header = true;
            described_before(stream.part_offset());
            start_block(static_cast<std::uint16_t>(stream.current_type), stream.part_offset());
            break;
        case part_type::default_disabled_list:
            if (in_header) {
                std::vector<requirement> list;
                if (!read_requirements(stream, list)) stream.clear();
                std::fprintf(out, "  default-disabled members:");
                if (list.empty()) std::fprintf(out, " -");
                for (const requirement& req : list) std::fprintf(out, " %s", quoted(req.name).c_str());
                std::fprintf(out, "\n");
            }
            break;
        case part_type::file_archive:
            if (in_header) {
                print_archive(stream, path, out, err, ok);
                stream.clear();
            }
            break;
        case part_type::signature:
            if (in_header) {
                const std::uint32_t offset = stream.part_offset();
                const std::uint32_t length = stream.part_length();
                stream.verify_signature();
                std::size_t digest_size = sha256 ? 32 : 20;
                std::fprintf(out, "  signature at offset %u, %u bytes, over the %s digest %s\n", offset, length,
                             sha256 ? "SHA-256" : "SHA-1", hex(stream.parts().digest(), digest_size).c_str());
            }
            break;
        }
    }
    described_before(~std::uint64_t{0});
}

}  // namespace

int inspect_file(const std::string& path, std::FILE* out, std::FILE* err) {
    // Only a regular file: a FIFO would make the reading wait for ever and a
    // device such as /dev/zero never ends. The file is read in passes, never
    // held whole.
    regular_istream file(path);
    if (!file.is_open()) {
        std::fprintf(err, "qpk: cannot open %s: %s\n", path.c_str(),
                     file.status().st_mode != 0 ? "not a regular file" : std::strerror(errno));
        return exit_failure;
    }
    bool ok = true;
    if (!print_file_header(file, path, out, err, ok)) return exit_failure;
    print_part_table(file, path, out, err, ok);
    regular_istream second(path);
    if (!second.is_open() || second.status().st_dev != file.status().st_dev ||
        second.status().st_ino != file.status().st_ino) {
        std::fprintf(err, "qpk: %s: the file changed while it was read\n", path.c_str());
        return exit_failure;
    }
    walk_packages(file, second, path, out, err, ok);
    return ok ? exit_ok : exit_failure;
}

}  // namespace qpk
