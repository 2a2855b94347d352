#include "hostile_input.h"

#include <dirent.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "manifest/manifest.h"
#include "manifest/saved_manifest.h"
#include "store/database.h"
#include "store/package_body.h"
#include "store/package_format.h"
#include "store/repository.h"
#include "stream/inflate_istream.h"
#include "stream/little_endian.h"
#include "stream/test_sources.h"
#include "verify/curve25519_check.h"

namespace hostile {
namespace {

// A message is made only for a failed check; twenty say enough.
struct checker {
    std::vector<std::string>& violations;
    void expect(bool holds, const std::string& where, const char* what) {
        if (!holds && violations.size() < 20) violations.push_back(where + ": " + what);
    }
};

void check_description(checker& check, const package_description& d, const char* where) {
    bool fits = d.name.size() <= name_field_size;
    for (const std::string* text : {&d.text24, &d.architecture, &d.text2, &d.note})
        fits &= text->size() <= max_text_part;
    for (const auto* list : {&d.dependencies, &d.provisions, &d.conflicts})
        for (const requirement& req : *list) fits &= req.name.size() <= name_field_size;
    check.expect(fits, where, "a name or text longer than its field");
    for (const auto& member : d.sub_packages) check_description(check, *member, where);
}

// Not the fixtures' helper: the fuzz targets link this file alone.
void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush())
        throw std::runtime_error("cannot write " + path);
}

bool length_field_agrees(const std::string& bytes) {
    return bytes.size() >= file_header_size &&
           get_le32(reinterpret_cast<const unsigned char*>(bytes.data()) + 4) + std::uint64_t{file_header_size} ==
               bytes.size();
}

bool read_download(checker& check, const std::string& bytes, const std::string& path) {
    write_file(path, bytes);
    download_record record;
    const bool accepted = read_download_file(record, path);
    check_description(check, record, "download scan");
    check.expect(!accepted || (length_field_agrees(bytes) && is_valid_record_name(record.name) &&
                               (!record.bundle || !record.sub_packages.empty())),
                 "download scan", "accepted a size, name or bundle that does not hold");
    return accepted;
}

std::size_t read_image(checker& check, std::istream& source, const char* where) {
    installer_context ctx;
    ctx.quiet = true;
    read_package_image(ctx, "entry", source);
    check.expect(!ctx.packages.empty(), where, "an image yielded no record");
    for (const auto& record : ctx.packages) {
        check_description(check, *record, where);
        check.expect(is_valid_record_name(record->name), where, "a record name that is no record directory");
    }
    return ctx.packages.size();
}

void check_tee(checker& check, const std::string& bytes, const std::string& copied, const char* where) {
    check.expect(copied.size() <= bytes.size() && bytes.compare(0, copied.size(), copied) == 0, where,
                 "the tee holds other bytes than were read");
}

void copy_digest(signature_seen& seen, package_istream& stream) {
    std::memcpy(seen.digest.data(), stream.parts().digest(), seen.digest.size());
}

// An installation as the store reads it, on board variant 3, in the store's steps; with skip_members, passing every
// bundle member over.
class install_reading {
public:
    install_reading(checker& check, reading_report& report, const std::string& bytes, bool skip_members)
        : check_(check), report_(report), bytes_(bytes), skip_members_(skip_members) {}

    bool run() {
        std::istringstream source(bytes_);
        std::stringbuf tee;
        package_istream stream(source, true, &tee);
        add_wanted_types(stream, install_wanted_types);
        stream.next_part();
        const bool complete =
            stream.current_type == part_type::bundle_header ? install_bundle(stream) : install_one(stream, nullptr);
        check_tee(check_, bytes_, tee.str(), where);
        return complete;
    }

private:
    void check_progress(package_istream& stream) {
        const std::streamoff at = stream.fail() ? std::streamoff(0) : std::streamoff(stream.tellg());
        check_.expect(at >= 0 && static_cast<std::uint64_t>(at) <= stream.part_length() &&
                          stream.part_offset() + static_cast<std::uint64_t>(at) <= bytes_.size(),
                      where, "the progress position lies outside the file");
    }

    bool extract_files(package_istream& stream) {
        inflate_istream inflated(stream);
        std::vector<char> buffer(16384);
        for (unsigned char header[file_entry_header_size];;) {
            if (inflated.read(reinterpret_cast<char*>(header), sizeof header).gcount() <
                static_cast<std::streamsize>(sizeof header))
                return true;
            const file_entry entry = parse_file_entry_header(header);
            ++report_.file_entries;
            std::string name(entry.name_length, '\0');
            if (inflated.read(name.data(), entry.name_length).gcount() != entry.name_length) return false;
            if (!entry.is_regular() || (entry.processor_class != 0 && entry.processor_class != 3)) {
                inflated.seekg(entry.size, std::ios_base::cur);
                continue;
            }
            for (std::uint32_t left = entry.size, want; left != 0; left -= want) {
                want = std::min<std::uint32_t>(left, 16384);
                if (inflated.read(buffer.data(), want).gcount() != static_cast<std::streamsize>(want)) return false;
                check_progress(stream);
            }
        }
    }

    // The installer's reading of a package's body, with checks at its steps.
    struct checking_reader : package_body_reader {
        install_reading& reading;
        explicit checking_reader(install_reading& r) : reading(r) {}
        void image_step(package_istream& stream) override { reading.check_progress(stream); }
        bool file_archive(package_istream& stream) override { return reading.extract_files(stream); }
        void signature_checked(package_istream& stream, int level) override {
            signature_seen seen;
            seen.offset = stream.part_offset();
            seen.level = level;
            copy_digest(seen, stream);
            reading.report_.install_signatures.push_back(seen);
        }
    };

    bool install_one(package_istream& stream, const std::string* bundle_name) {
        package_description package;
        const bool described = read_description(package, stream);
        check_description(check_, package, where);
        if (!described || (bundle_name && package.name == *bundle_name)) return false;
        if (bundle_name && skip_members_) {
            while (!stream.fail() && !stream.bad() && stream.current_type != part_type::package_header)
                stream.next_part();
            return true;
        }
        checking_reader reader(*this);
        return read_package_body(stream, reader, 1, bundle_name == nullptr) == body_read::whole;
    }

    bool install_bundle(package_istream& stream) {
        package_description bundle;
        const bool described = read_description(bundle, stream);
        check_description(check_, bundle, where);
        if (!described || !bundle.dependencies.empty() || !bundle.provisions.empty() || !bundle.conflicts.empty())
            return false;
        if (stream.current_type == part_type::image) stream.next_part();
        if (stream.current_type == part_type::default_disabled_list) {
            read_requirements(stream, bundle.dependencies);
            check_description(check_, bundle, where);
            stream.next_part();
        }
        std::size_t count = 0;
        for (; stream.current_type == part_type::package_header; ++count)
            if (!install_one(stream, &bundle.name)) return false;
        return reached_package_end(stream, true) && count != 0;
    }

    static constexpr const char* where = "install reading";
    checker& check_;
    reading_report& report_;
    const std::string& bytes_;
    bool skip_members_;
};

enum class source_kind { string, file, pipe };

struct walk_setup {
    source_kind source;
    bool hashing, tee;
    const char* name;
    const verify::public_keys* keys = nullptr;  // null: the build's own
    // Signatures another reader checked: one at the same place with the same digest has the same level.
    const std::vector<signature_seen>* known = nullptr;
};

// Keys every check fails under at once; the check still hashes and consumes as ever.
const verify::public_keys& dead_keys() {
    static const verify::public_keys keys = [] {
        verify::public_keys k = verify::builtin_keys();
        std::memset(k.eddsa_public, 0xFF, sizeof k.eddsa_public);
        std::memset(k.curve25519_public, 0, sizeof k.curve25519_public);
        verify::lifted_key lifted;
        for (k.curve25519_public[0] = 2; verify::lift_public_key(lifted, k.curve25519_public);)
            ++k.curve25519_public[0];
        return k;
    }();
    return keys;
}

// Every part read with a mix of istream operations, each byte delivered checked against the file: never a byte of
// another place or beyond its part.
class part_walk {
public:
    part_walk(checker& check, const std::string& bytes, const walk_setup& setup)
        : check_(check), bytes_(bytes), setup_(setup) {}

    std::vector<signature_seen> run() {
        std::vector<signature_seen> signatures;
        std::unique_ptr<std::streambuf> buffer;
        if (setup_.source == source_kind::string) {
            buffer = std::make_unique<std::stringbuf>(bytes_, std::ios_base::in);
        } else {
            test_source::options options;
            options.seekable = setup_.source == source_kind::file;
            buffer = std::make_unique<test_source>(bytes_, options);
        }
        std::istream source(buffer.get());
        std::stringbuf tee;
        package_istream stream(source, setup_.hashing, setup_.tee ? &tee : nullptr);
        for (std::uint32_t type = 0; type < 32; ++type) stream.wanted_types.push_back(type);
        for (std::size_t parts = 1; stream.next_part() != -1; ++parts, stream.clear()) {
            check_.expect(stream.part_offset() <= bytes_.size(), setup_.name, "a part header beyond the file");
            if (parts > bytes_.size() / part_header_size) {
                check_.expect(false, setup_.name, "more parts than the file has room for");
                break;
            }
            if (stream.current_type != part_type::signature || !setup_.hashing) {
                exercise(stream, parts % 7);
                continue;
            }
            signature_seen seen;
            seen.offset = stream.part_offset();
            const std::size_t i = signatures.size();
            const signature_seen* before = setup_.known && i < setup_.known->size() ? &(*setup_.known)[i] : nullptr;
            if (before && before->offset == seen.offset) {
                stream.verify_signature(dead_keys());
                copy_digest(seen, stream);
                // A digest that differs shows in the comparison.
                seen.level = seen.digest == before->digest ? before->level : -1;
            } else {
                seen.level = setup_.keys ? stream.verify_signature(*setup_.keys) : stream.verify_signature();
                copy_digest(seen, stream);
            }
            signatures.push_back(seen);
        }
        if (setup_.tee) check_tee(check_, bytes_, tee.str(), setup_.name);
        return signatures;
    }

private:
    std::int64_t position(package_istream& stream) {
        stream.clear();
        const std::streamoff at = stream.tellg();
        check_.expect(at < 0 || static_cast<std::uint64_t>(at) <= stream.part_length(), setup_.name,
                      "a position beyond the part");
        return at < 0 ? -1 : at;
    }

    void compare(package_istream& stream, std::int64_t at, const char* delivered, std::size_t n) {
        if (at < 0 || n == 0) return;
        const std::uint64_t file_at = stream.part_offset() + static_cast<std::uint64_t>(at);
        check_.expect(static_cast<std::uint64_t>(at) + n <= stream.part_length(), setup_.name,
                      "bytes delivered beyond the end of the part");
        check_.expect(file_at + n > bytes_.size() || std::memcmp(bytes_.data() + file_at, delivered, n) == 0,
                      setup_.name, "bytes delivered that do not stand at that place of the file");
        check_.expect(file_at + n <= bytes_.size(), setup_.name, "bytes delivered beyond the end of the file");
    }

    void read_rest(package_istream& stream, std::size_t chunk) {
        std::string buffer(chunk, '\0');
        for (std::size_t got = chunk; got == chunk;) {
            const std::int64_t at = position(stream);
            got = static_cast<std::size_t>(stream.read(buffer.data(), static_cast<std::streamsize>(chunk)).gcount());
            compare(stream, at, buffer.data(), got);
        }
    }

    int get_one(package_istream& stream, bool peek = false) {
        const std::int64_t at = position(stream);
        const int c = peek ? stream.peek() : stream.get();
        if (c == std::char_traits<char>::eof()) return -1;
        const char byte = static_cast<char>(c);
        compare(stream, at, &byte, 1);
        return c;
    }

    void exercise(package_istream& stream, std::size_t script) {
        std::string word;
        char some[10];
        std::int64_t at;
        switch (script) {
            case 0:
                return read_rest(stream, 1000);
            case 1:  // steps back, also after a read that found the end of the data
                get_one(stream);
                stream.clear();
                stream.unget();
                get_one(stream);
                get_one(stream, true);
                get_one(stream);
                get_one(stream);
                stream.clear();
                stream.unget();
                return read_rest(stream, 7);
            case 2:
                stream.seekg(2, std::ios_base::cur);
                position(stream);
                stream.seekg(0, std::ios_base::beg);
                get_one(stream);
                stream.seekg(5, std::ios_base::end);
                return read_rest(stream, 3);
            case 3:
                stream >> word;
                if ((at = position(stream)) >= static_cast<std::int64_t>(word.size()))
                    compare(stream, at - static_cast<std::int64_t>(word.size()), word.data(), word.size());
                stream.ignore(5);
                return read_rest(stream, 64);
            case 4:  // a putback of another byte than was read, then of the same one
                if (const int c = get_one(stream); c >= 0) {
                    stream.clear();
                    stream.putback(static_cast<char>(c ^ 0x20));
                    stream.clear();
                    stream.putback(static_cast<char>(c));
                }
                return read_rest(stream, 5);
            case 5:  // what the source has at hand, then an absolute position
                at = position(stream);
                compare(stream, at, some,
                        static_cast<std::size_t>(std::max<std::streamsize>(stream.readsome(some, 10), 0)));
                stream.clear();
                stream.seekg(std::streampos(3));
                return read_rest(stream, 11);
            default:  // left unread: the next part header step skips it
                return;
        }
    }

    checker& check_;
    const std::string& bytes_;
    walk_setup setup_;
};

// Other's signatures (a prefix of walk's where other stopped early) agree with walk's.
void check_signatures_agree(checker& check, const std::vector<signature_seen>& walk,
                            const std::vector<signature_seen>& other, bool prefix, bool same_keys, const char* what) {
    bool agree = prefix ? other.size() <= walk.size() : other.size() == walk.size();
    for (std::size_t i = 0; agree && i < other.size(); ++i)
        agree = other[i].offset == walk[i].offset && other[i].digest == walk[i].digest &&
                (!same_keys || other[i].level == walk[i].level);
    check.expect(agree, what, "signature parts, levels or digests differ from the part walk's");
}

}  // namespace

scratch_directory::scratch_directory() {
    char name[] = "/tmp/hostile-input-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

scratch_directory::~scratch_directory() {
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ::unlink(file(entry->d_name).c_str());
        ::closedir(dir);
    }
    ::rmdir(path_.c_str());
}

reading_report read_as_installer(const std::string& bytes, const scratch_directory& scratch) {
    reading_report report;
    checker check{report.violations};
    const std::string path = scratch.file("package.qpk");
    report.download_accepted = read_download(check, bytes, path);
    std::istringstream in_memory(bytes);
    report.image_records = read_image(check, in_memory, "image loader");
    std::ifstream file(path, std::ios::binary);  // seeks past the end of the data where a string refuses to
    read_image(check, file, "image loader (file)");
    if (bytes.size() >= file_header_size && !length_field_agrees(bytes)) {
        std::string fixed = bytes;  // the length field made to agree: the scan reads past its size check
        set_le32(reinterpret_cast<unsigned char*>(fixed.data()) + 4,
                 static_cast<std::uint32_t>(fixed.size() - file_header_size));
        read_download(check, fixed, path);
    }
    installer_context ctx;
    ctx.quiet = true;
    candidate_list candidates;
    scan_download_dir(ctx, scratch.path() + "/", candidates);
    check.expect(candidates.size() <= 1, "download directory scan", "more candidates than package files");

    report.install_complete = install_reading(check, report, bytes, false).run();
    reading_report skipped;
    install_reading(check, skipped, bytes, true).run();
    const walk_setup hashed_pipe{source_kind::pipe, true, false, "pipe, hashing", &dead_keys()};
    report.walk_signatures =
        part_walk(check, bytes,
                  {source_kind::string, true, true, "string, hashing, tee", nullptr, &report.install_signatures})
            .run();
    check_signatures_agree(check, report.walk_signatures, part_walk(check, bytes, hashed_pipe).run(), false, false,
                           hashed_pipe.name);
    part_walk(check, bytes, {source_kind::file, false, false, "file, no hashing"}).run();
    part_walk(check, bytes, {source_kind::pipe, false, true, "pipe, no hashing, tee"}).run();
    check_signatures_agree(check, report.walk_signatures, report.install_signatures, true, true, "install reading");
    return report;
}

reading_report read_as_file_archive(const std::string& inflated) {
    uLongf length = compressBound(static_cast<uLong>(inflated.size()));
    std::string compressed(length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &length, reinterpret_cast<const Bytef*>(inflated.data()),
                  static_cast<uLong>(inflated.size()), 1) != Z_OK)
        throw std::runtime_error("compress2 failed");
    compressed.resize(length);
    const std::pair<std::uint16_t, std::string> parts[] = {
        {part_type::package_header, std::string("archive").append(header_part_size_with_flags - 7, '\0')},
        {part_type::file_archive, compressed},
        {part_type::signature, "short"}};
    std::string body, bytes;
    for (const auto& [type, data] : parts) {
        append_le16(body, type);
        append_le32(body, static_cast<std::uint32_t>(data.size()));
        body += data;
    }
    append_le32(bytes, package_magic);
    append_le32(bytes, static_cast<std::uint32_t>(body.size()));
    reading_report report;
    checker check{report.violations};
    install_reading(check, report, bytes + body, false).run();
    return report;
}

std::vector<std::string> read_as_manifest(const std::string& bytes, const scratch_directory& scratch) {
    std::vector<std::string> violations;
    checker check{violations};
    const char* where = "manifest loader";
    write_file(scratch.file("MANIFEST"), bytes);
    file_manifest loaded, again;
    load_manifest(loaded, scratch.file("MANIFEST"));
    for (const auto& [destination, entry] : loaded.entries)
        check.expect(!destination.empty() && entry.kind != entry_kind::staged_file,
                     where, "an entry without its destination, or one that counts as a staged file of this run");
    const bool saved = save_manifest(loaded, scratch.file("MANIFEST.saved"));
    check.expect(saved, where, "what was loaded cannot be saved again");
    load_manifest(again, scratch.file("MANIFEST.saved"));
    bool same = saved && again.entries.size() == loaded.entries.size();
    for (auto a = loaded.entries.begin(), b = again.entries.begin(); same && a != loaded.entries.end(); ++a, ++b)
        same = a->first == b->first && a->second.kind == b->second.kind && a->second.source == b->second.source;
    check.expect(!saved || same, where, "what was saved reads back differently");
    return violations;
}

}  // namespace hostile
