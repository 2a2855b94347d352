// Package files that an attacker has changed, cut short or made up, read
// through every reader of the installer (support/hostile_input.h): nothing
// may crash or run away (the sanitizer build checks the memory), what the
// readers report must hold together, no changed package may verify, and no
// cut-short package may read as complete. The mutations start from valid
// packages made with the writer library and are systematic where the
// package is small and a fixed sample where it is large, so that the suite
// stays fast under the sanitizers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "store/package_format.h"
#include "stream/little_endian.h"
#include "stream/package_bytes.h"
#include "stream/package_istream.h"
#include "support/hostile_input.h"
#include "support/sample_packages.h"
#include "verify/builtin_keys.h"

namespace {

using hostile::reading_report;
using hostile::signature_seen;

const std::string development_private_key = std::string(SOURCE_DIR) + "/keys/development.private";

const qpk::sign_function& sign() {
    static const qpk::sign_function function = samples::signer(development_private_key);
    return function;
}

// Levels are only meaningful when the build checks signatures against the
// development keys that sign the samples (a product build does not).
bool checks_development_keys() {
    static const bool same = [] {
        signing::private_keys private_keys;
        verify::public_keys public_keys;
        std::string error;
        if (!signing::read_private_key_file(development_private_key, private_keys, error) ||
            !signing::public_keys_of(private_keys, public_keys))
            return false;
        const verify::public_keys& built = verify::builtin_keys();
        return std::memcmp(&public_keys, &built, sizeof built) == 0;
    }();
    return same;
}

const hostile::scratch_directory& scratch() {
    static const hostile::scratch_directory directory;
    return directory;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

reading_report read(const std::string& bytes, const std::string& label) {
    reading_report report = hostile::read_as_installer(bytes, scratch());
    EXPECT_TRUE(report.violations.empty()) << label << joined(report.violations);
    return report;
}

// A valid package with the places of its parts and of what each of its
// signatures covers.
struct sample {
    std::string name;
    std::string bytes;
    std::vector<qpk::located_part> parts;
    std::vector<test_bytes::signature_range> signed_ranges;  // end: the signature part's data

    const qpk::located_part& part_at(std::uint32_t offset) const {
        for (const qpk::located_part& p : parts)
            if (p.offset == offset) return p;
        throw std::runtime_error("no part at that offset");
    }
    // Where the data of the last signature part ends.
    std::size_t last_signature_end() const {
        const qpk::located_part& p = part_at(static_cast<std::uint32_t>(signed_ranges.back().end));
        return p.offset + p.length;
    }
    bool covered(std::size_t at) const {
        for (const auto& range : signed_ranges)
            if (at >= range.begin && at < range.end) return true;
        return false;
    }
};

sample make_sample(const std::string& name, const std::string& bytes) {
    sample s{name, bytes, {}, test_bytes::signature_ranges(bytes)};
    std::string error;
    if (!qpk::split_parts(bytes, s.parts, error)) throw std::runtime_error(name + ": " + error);
    return s;
}

const sample& single() {
    static const sample s = make_sample("single", samples::single(sign()));
    return s;
}
const sample& single_trailing() {
    static const sample s = make_sample("single with parts after its signature", samples::single(sign(), true));
    return s;
}
const sample& sha256() {
    static const sample s = make_sample("sha256", samples::single(sign(), false, true));
    return s;
}
const sample& level1() {
    static const sample s = make_sample("level 1", samples::single(sign(), false, false, 68));
    return s;
}
const sample& archive() {
    static const sample s = make_sample("archive", samples::with_archive(sign()));
    return s;
}
const sample& bundle() {
    static const sample s = make_sample("bundle", samples::bundle(sign()));
    return s;
}
const sample& second_kind() {
    static const sample s = make_sample("second kind", samples::second_kind(sign()));
    return s;
}

std::vector<const sample*> all_samples() {
    return {&single(), &single_trailing(), &sha256(), &level1(), &archive(), &bundle(), &second_kind()};
}

std::vector<int> levels(const std::vector<signature_seen>& seen) {
    std::vector<int> out;
    for (const signature_seen& s : seen) out.push_back(s.level);
    return out;
}

// Every signature that holds stands where the intact file has one, and
// covers none of the changed bytes [begin, end).
void expect_no_forgery(const reading_report& report, const sample& s, std::size_t begin, std::size_t end,
                       const std::string& label) {
    if (!checks_development_keys()) return;
    for (const auto* seen_list : {&report.install_signatures, &report.walk_signatures}) {
        for (const signature_seen& seen : *seen_list) {
            if (seen.level == 0) continue;
            auto range = std::find_if(s.signed_ranges.begin(), s.signed_ranges.end(),
                                      [&](const test_bytes::signature_range& r) { return r.end == seen.offset; });
            if (range == s.signed_ranges.end()) {
                ADD_FAILURE() << label << ": level " << seen.level << " at " << seen.offset << ", no signature there";
                continue;
            }
            EXPECT_TRUE(end <= range->begin || begin >= range->end)
                << label << ": level " << seen.level << " for the signature at " << seen.offset
                << " though it covers a changed byte";
        }
    }
}

// Positions to change in a sample: every one of a small file; of a larger
// one every byte of every part header and a fixed spread of the rest.
std::vector<std::size_t> positions(const sample& s, std::size_t budget) {
    std::vector<std::size_t> at;
    if (s.bytes.size() <= budget) {
        for (std::size_t i = 0; i < s.bytes.size(); ++i) at.push_back(i);
        return at;
    }
    for (std::size_t i = 0; i < file_header_size; ++i) at.push_back(i);
    for (const qpk::located_part& p : s.parts)
        for (std::size_t i = p.offset - part_header_size; i < p.offset; ++i) at.push_back(i);
    std::uint32_t state = 12345;
    while (at.size() < budget) {
        state = state * 1103515245u + 12345u;
        at.push_back((state >> 8) % s.bytes.size());
    }
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

// A signed package whose file archive holds the given inflated entries (or
// the given compressed data as it stands, when compressed is set): signed
// over the changed archive, so that the installation reading takes the
// package as far as the archive lets it.
std::string archive_package(const std::string& entries, bool compressed = false) {
    qpk::package_contents contents;
    contents.name = "archive";
    contents.version = make_version(7, 2, 'f', 0);
    contents.files = std::vector<qpk::file_item>{};
    std::vector<qpk::raw_part> parts = qpk::package_parts(contents);
    for (qpk::raw_part& p : parts)
        if (p.type == part_type::file_archive) p.data = compressed ? entries : qpk::zlib_compress(entries);
    std::string bytes = qpk::encode_container(parts, false);
    std::string error;
    if (!qpk::sign_parts(bytes, sign(), error)) throw std::runtime_error(error);
    return bytes;
}

// Offsets of the file entries in inflated archive data.
std::vector<std::size_t> entry_offsets(const std::string& entries) {
    std::vector<std::size_t> at;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(entries.data());
    for (std::size_t o = 0; o + file_entry_header_size <= entries.size();) {
        at.push_back(o);
        o += file_entry_header_size + get_le16(p + o + 28) + get_le32(p + o + 24);
    }
    return at;
}

std::string deflate_with(const std::string& data, int window_bits, const std::string& dictionary = "") {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    if (!dictionary.empty())
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dictionary.data()), static_cast<uInt>(dictionary.size()));
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

}  // namespace

// The readers work on the intact samples: what the mutation tests below
// take for granted (levels, members, entries) is really there.
TEST(HostileInputTest, IntactSamplesReadWhole) {
    for (const sample* s : all_samples()) {
        SCOPED_TRACE(s->name);
        const reading_report report = read(s->bytes, s->name);
        EXPECT_TRUE(report.download_accepted);
        EXPECT_EQ(report.install_signatures.size(), s->signed_ranges.size());
        EXPECT_EQ(report.walk_signatures.size(), s->signed_ranges.size());
        if (checks_development_keys()) {
            EXPECT_TRUE(report.install_complete);
        }
    }
    if (checks_development_keys()) {
        EXPECT_EQ(levels(read(single().bytes, "single").install_signatures), std::vector<int>{2});
        EXPECT_EQ(levels(read(sha256().bytes, "sha256").install_signatures), std::vector<int>{2});
        EXPECT_EQ(levels(read(level1().bytes, "level 1").install_signatures), std::vector<int>{1});
        EXPECT_EQ(levels(read(bundle().bytes, "bundle").install_signatures), (std::vector<int>{2, 1}));
    }
    EXPECT_EQ(read(archive().bytes, "archive").file_entries, 6u);
    EXPECT_EQ(read(bundle().bytes, "bundle").image_records, 3u);  // two members, then the bundle

    const reading_report unsigned_package = read(samples::single(nullptr), "unsigned");
    EXPECT_FALSE(unsigned_package.install_complete);
    EXPECT_EQ(levels(unsigned_package.install_signatures), std::vector<int>{0});
}

// Cut anywhere, a package file is never taken whole: the download scan
// refuses it for its size, and the installation reading for a missing or
// unverifiable signature, or for an end of the data short of the size that
// the file header declares (a cut after a signature loses only parts that
// no signature covers: a bundle's later members, or the parts after a
// package's signature).
TEST(HostileInputTest, CutShortFilesNeverReadAsComplete) {
    for (const sample* s : {&single(), &single_trailing(), &level1(), &bundle(), &archive()}) {
        SCOPED_TRACE(s->name);
        const std::size_t step = s == &archive() ? 7 : 1;
        for (std::size_t length = 0; length < s->bytes.size(); length += step) {
            const std::string label = s->name + " cut to " + std::to_string(length);
            const reading_report report = read(s->bytes.substr(0, length), label);
            EXPECT_FALSE(report.download_accepted) << label;
            EXPECT_FALSE(report.install_complete) << label;
        }
    }
}

// The end of the parts is the end of the file only where the file header
// says the file ends; next_part returns -1 alike for a file cut at a part
// boundary, cut inside a part header, or followed by stray bytes.
TEST(HostileInputTest, EndOfTheFileAtItsDeclaredSize) {
    using test_bytes::file;
    using test_bytes::part;
    const std::string whole = file(part(1, std::string(36, 'h')) + part(9, std::string(68, 's')));
    auto ends_whole = [](const std::string& bytes, bool hashing) {
        std::istringstream source(bytes);
        package_istream stream(source, hashing);
        stream.wanted_types = {1, 9};
        while (stream.next_part() != -1) {
        }
        return stream.ended_at_declared_size();
    };
    std::string longer_header = whole;
    set_le32(reinterpret_cast<unsigned char*>(longer_header.data()) + 4,
             static_cast<std::uint32_t>(whole.size() - file_header_size + 6));
    const struct {
        const char* what;
        std::string bytes;
        bool whole;
    } cases[] = {
        {"whole", whole, true},
        {"cut at a part boundary", whole.substr(0, file_header_size + 6 + 36), false},
        {"cut inside a part header", whole.substr(0, file_header_size + 6 + 36 + 3), false},
        {"cut inside a part", whole.substr(0, whole.size() - 1), false},
        {"three stray bytes after it", whole + "xyz", false},
        {"a header that declares six bytes more", longer_header, false},
        {"only the file header", file(""), true},
        {"not a package", std::string(20, 'x'), false},
    };
    for (const auto& c : cases) {
        for (bool hashing : {false, true}) EXPECT_EQ(ends_whole(c.bytes, hashing), c.whole) << c.what;
    }
}

// Any one byte changed: no reader misbehaves, and no signature that covers
// the byte holds. Bytes 0-19 of a signature part are not examined, a changed
// byte of the Curve25519 signature leaves the EdDSA signature holding, and
// a changed byte of the EdDSA signature falls back to level 1.
TEST(HostileInputTest, ChangedBytesNeverVerify) {
    // Every byte of the plain package; of the others their part headers and
    // a spread of the rest (each read with a broken signature runs both
    // signature checks, the slowest thing here under the sanitizers).
    const std::pair<const sample*, std::size_t> budgets[] = {
        {&single(), 500}, {&sha256(), 100}, {&level1(), 100}, {&bundle(), 200}, {&archive(), 150}};
    for (const auto& [s, budget] : budgets) {
        SCOPED_TRACE(s->name);
        const std::vector<int> intact = levels(read(s->bytes, s->name).install_signatures);
        for (std::size_t at : positions(*s, budget)) {
            std::string changed = s->bytes;
            changed[at] = static_cast<char>(changed[at] ^ 0xA5);
            const std::string label = s->name + " with byte " + std::to_string(at) + " changed";
            const reading_report report = read(changed, label);
            expect_no_forgery(report, *s, at, at + 1, label);
            if (s->covered(at)) {
                EXPECT_FALSE(report.install_complete) << label;
            }
            if (!checks_development_keys() || s->signed_ranges.size() != 1) continue;

            const qpk::located_part& signature = s->part_at(static_cast<std::uint32_t>(s->signed_ranges[0].end));
            if (at < signature.offset || at >= signature.offset + signature.length) continue;
            const std::size_t within = at - signature.offset;
            const int expected = within < 20                               ? intact[0]
                                 : within < short_signature_size           ? (intact[0] == 2 ? 2 : 0)
                                 : within < long_signature_size            ? 1
                                                                            : intact[0];
            EXPECT_EQ(levels(report.install_signatures), std::vector<int>{expected}) << label;
        }
    }
}

// Part length fields that promise nothing, one byte, a byte too few or too
// many, and more than the file or a 32-bit offset can hold.
TEST(HostileInputTest, PartLengthFields) {
    for (const sample* s : all_samples()) {
        SCOPED_TRACE(s->name);
        for (const qpk::located_part& p : s->parts) {
            const std::size_t header = p.offset - part_header_size;
            for (std::uint32_t length : {0u, 1u, p.length - 1, p.length + 1, 0x7FFFFFFFu, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
                if (length == p.length) continue;
                std::string changed = s->bytes;
                set_le32(reinterpret_cast<unsigned char*>(changed.data()) + header + 2, length);
                const std::string label = s->name + ": part " + std::to_string(p.type) + " at " +
                                          std::to_string(p.offset) + " with length " + std::to_string(length);
                const reading_report report = read(changed, label);
                expect_no_forgery(report, *s, header, p.offset, label);
                if (s->covered(header)) {
                    EXPECT_FALSE(report.install_complete) << label;
                }
            }
        }
    }
}

// Requirement lists whose count promises more entries than the part holds
// (up to 0xFFFF) make the description unreadable; none is read beyond its
// part, and a count of 0 reads as an empty list.
TEST(HostileInputTest, RequirementCounts) {
    for (const sample* s : {&single(), &bundle()}) {
        SCOPED_TRACE(s->name);
        for (const qpk::located_part& p : s->parts) {
            if (p.type != part_type::dependency_list && p.type != part_type::provision_list &&
                p.type != part_type::conflict_list && p.type != part_type::default_disabled_list)
                continue;
            const std::uint16_t count = get_le16(reinterpret_cast<const unsigned char*>(s->bytes.data()) + p.offset);
            for (std::uint16_t changed_count : {std::uint16_t{0}, static_cast<std::uint16_t>(count + 1), std::uint16_t{0xFFFF}}) {
                std::string changed = s->bytes;
                set_le16(reinterpret_cast<unsigned char*>(changed.data()) + p.offset, changed_count);
                const std::string label = s->name + ": list part " + std::to_string(p.type) + " at " +
                                          std::to_string(p.offset) + " counting " + std::to_string(changed_count);
                const reading_report report = read(changed, label);
                expect_no_forgery(report, *s, p.offset, p.offset + 2, label);
                if (changed_count > count) {
                    EXPECT_FALSE(report.install_complete) << label;
                    if (p.type != part_type::default_disabled_list) {
                        EXPECT_FALSE(report.download_accepted) << label;
                    }
                } else if (p.type != part_type::default_disabled_list) {
                    EXPECT_TRUE(report.download_accepted) << label;
                }
            }
        }
    }
}

// File entries whose sizes and name lengths promise more than the archive
// holds, entries cut short, and garbage after the last entry. A regular file
// or a name that cannot be read whole makes the package broken; an entry
// that is passed over (a directory, a link, a file for another board) and
// runs past the data ends the archive.
TEST(HostileInputTest, FileEntryFields) {
    const std::string intact = qpk::encode_file_entries(samples::archive_files());
    const std::vector<std::size_t> at = entry_offsets(intact);
    ASSERT_EQ(at.size(), 6u);
    const std::size_t large = at[0], directory = at[1], link = at[2], other_board = at[4], last = at[5];

    struct change {
        std::string what;
        std::function<void(std::string&)> apply;
        int complete;  // 1 complete, 0 not, -1 either
    };
    auto set32 = [](std::size_t offset, std::uint32_t v) {
        return [=](std::string& e) { set_le32(reinterpret_cast<unsigned char*>(e.data()) + offset, v); };
    };
    auto set16 = [](std::size_t offset, std::uint16_t v) {
        return [=](std::string& e) { set_le16(reinterpret_cast<unsigned char*>(e.data()) + offset, v); };
    };
    std::vector<change> changes = {
        {"large file of size 0xFFFFFFFF", set32(large + 24, 0xFFFFFFFF), 0},
        {"large file one byte longer", set32(large + 24, 70001), -1},
        {"large file one byte shorter", set32(large + 24, 69999), -1},
        {"large file of size 0", set32(large + 24, 0), -1},
        {"directory of size 0xFFFFFFFF", set32(directory + 24, 0xFFFFFFFF), 1},
        {"link of size 0xFFFFFFFF", set32(link + 24, 0xFFFFFFFF), 1},
        {"file for another board of size 0xFFFFFFFF", set32(other_board + 24, 0xFFFFFFFF), 1},
        {"last entry of size 0xFFFFFFFF", set32(last + 24, 0xFFFFFFFF), 0},
        {"last name of length 0xFFFF", set16(last + 28, 0xFFFF), 0},
        {"first name of length 0xFFFF", set16(large + 28, 0xFFFF), -1},
        {"first name of length 0", set16(large + 28, 0), -1},
        {"large file made a directory", set16(large, 0x41ED), 1},
        {"cut inside the last header", [&](std::string& e) { e.resize(last + 10); }, 1},
        {"cut inside the last name", [&](std::string& e) { e.resize(last + 32); }, 0},
        {"cut inside the large file", [&](std::string& e) { e.resize(large + 40000); }, 0},
        {"29 bytes of garbage after the last entry", [](std::string& e) { e.append(29, '\x81'); }, 1},
        {"a header of 0xFF bytes after the last entry", [](std::string& e) { e.append(30, '\xFF'); }, 0},
    };
    for (const change& c : changes) {
        std::string entries = intact;
        c.apply(entries);
        const reading_report report = read(archive_package(entries), c.what);
        if (checks_development_keys() && c.complete >= 0) {
            EXPECT_EQ(report.install_complete, c.complete == 1) << c.what;
        }

        const reading_report as_archive = hostile::read_as_file_archive(entries);
        EXPECT_TRUE(as_archive.violations.empty()) << c.what << joined(as_archive.violations);
    }
}

// Compressed data that is corrupt, cut short, wrapped the wrong way, needs
// a dictionary, or goes on after its end: the inflating stream reports the
// end of the data, never more than the data, and a wrapping that zlib does
// not take yields no file entry at all.
TEST(HostileInputTest, CorruptCompressedArchive) {
    const std::string entries = qpk::encode_file_entries(samples::archive_files());
    const std::string compressed = qpk::zlib_compress(entries);
    ASSERT_GT(compressed.size(), 100u);

    struct variant {
        std::string what;
        std::string data;
        int entries;  // file entries the extraction goes through, or -1 for any
    };
    std::vector<variant> variants = {
        {"raw deflate without the zlib header", deflate_with(entries, -15), 0},
        {"a gzip wrapping", deflate_with(entries, 31), 0},
        {"a preset dictionary", deflate_with(entries, 15, "dictionary"), 0},
        {"an empty part", "", 0},
        {"cut in half", compressed.substr(0, compressed.size() / 2), -1},
        {"cut before the trailer", compressed.substr(0, compressed.size() - 4), 6},
        {"garbage after the end", compressed + std::string(5000, 'x'), 6},
        {"two streams one after the other", compressed + compressed, 6},
    };
    std::uint32_t state = 99;
    for (int i = 0; i < 40; ++i) {
        state = state * 1103515245u + 12345u;
        const std::size_t at = i < 8 ? static_cast<std::size_t>(i) : (state >> 8) % compressed.size();
        std::string changed = compressed;
        changed[at] = static_cast<char>(changed[at] ^ (1 << (i % 8)));
        variants.push_back({"compressed byte " + std::to_string(at) + " changed", changed, -1});
    }
    for (const variant& v : variants) {
        const reading_report report = read(archive_package(v.data, true), v.what);
        if (v.entries >= 0) {
            EXPECT_EQ(report.file_entries, static_cast<std::size_t>(v.entries)) << v.what;
        }
    }
}

// Found by the fuzz target: a part that claims more bytes than the file
// holds, read byte by byte past the end of the data and then stepped back
// on. The stream counted a byte that never came as consumed, so its
// position ran one past the data and the byte read again after the step
// back was handed out as the byte of a later position.
TEST(HostileInputTest, ReadPastTheDataThenStepBack) {
    using test_bytes::file;
    using test_bytes::part_claiming;
    const std::string bytes = file(part_claiming(7, 10, std::string("A\0", 2)));
    for (bool hashing : {false, true}) {
        SCOPED_TRACE(hashing ? "hashing" : "no hashing");
        std::istringstream source(bytes);
        package_istream stream(source, hashing);
        stream.wanted_types = {7};
        ASSERT_EQ(stream.next_part(), 7);
        EXPECT_EQ(stream.get(), 'A');
        EXPECT_EQ(stream.get(), 0);
        EXPECT_EQ(stream.get(), std::char_traits<char>::eof());
        stream.clear();
        EXPECT_EQ(stream.tellg(), 2);  // the byte that never came is not consumed
        stream.unget();
        EXPECT_EQ(stream.tellg(), 1);
        EXPECT_EQ(stream.get(), 0);  // the byte of position 1, again
        EXPECT_EQ(stream.tellg(), 2);
    }

    // The fuzzer's own input: a bundle header part that claims 0x241E bytes
    // of which the file holds one.
    const std::string found("\x1e\xf1\xd0\xba\xc1\x03\x00\x00\x12\x00\x24\x1e\xf1\x00", 14);
    read(found, "fuzzer input");
}

// Saved file manifests as another tool, or a run cut short, might leave
// them: whatever is loaded saves and loads back unchanged.
TEST(HostileInputTest, ManifestLoader) {
    const std::vector<std::string> manifests = {
        "",
        "U /flash/a\nL /flash/b /x y\nM /flash/c /ram/tmpA b  \n",
        "U /flash/cut-short-line-without-end",
        std::string("U /flash/with\0nul\nM /flash/x \0\n", 31),
        "M /flash/a\nL /flash/b\nU\n   \nU /flash/after\n",
        "U /flash/a\r\nM\t/flash/b /c\n",
        "\nU /flash/after-an-empty-line\n",
        "U " + std::string(100000, 'p') + "\n",
        [] {
            std::string many;
            for (int i = 0; i < 5000; ++i) many += "M /flash/f" + std::to_string(i % 700) + " /ram/tmp" + std::to_string(i) + "\n";
            return many;
        }(),
    };
    for (const std::string& text : manifests) {
        const std::vector<std::string> violations = hostile::read_as_manifest(text, scratch());
        EXPECT_TRUE(violations.empty()) << text.substr(0, 60) << joined(violations);
    }
}
