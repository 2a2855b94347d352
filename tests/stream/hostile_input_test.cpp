// Package files that an attacker has changed, cut short or made up, read
// through every reader of the installer (support/hostile_input.h): nothing
// may crash or run away, what the readers report must hold together, no
// changed package may verify, and no cut-short package may read as whole.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "stream/little_endian.h"
#include "stream/package_bytes.h"
#include "support/hostile_input.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

namespace {

using hostile::reading_report;

const hostile::scratch_directory scratch;
// Levels mean something only where the build checks the development keys.
const bool development_keys = test_vectors::build_has_vector_keys();

reading_report read(const std::string& bytes, const std::string& label) {
    reading_report report = hostile::read_as_installer(bytes, scratch);
    for (const std::string& violation : report.violations) ADD_FAILURE() << label << ": " << violation;
    return report;
}

std::vector<int> levels(const std::vector<hostile::signature_seen>& seen) {
    std::vector<int> out;
    for (const auto& s : seen) out.push_back(s.level);
    return out;
}

// A valid package with its parts and what each of its signatures covers.
struct sample {
    sample(std::string n, std::string b, std::vector<int> l, std::size_t e = 0, std::size_t r = 1)
        : name(std::move(n)), bytes(std::move(b)), levels(std::move(l)), entries(e), records(r),
          signed_ranges(test_bytes::signature_ranges(bytes)) {
        std::string error;
        if (!qpk::split_parts(bytes, parts, error)) throw std::runtime_error(error);
    }
    std::string name, bytes;
    std::vector<int> levels;
    std::size_t entries, records;
    std::vector<qpk::located_part> parts;
    std::vector<test_bytes::signature_range> signed_ranges;
};

const std::vector<sample>& samples_read() {
    static const std::vector<sample> all = [] {
        const auto& sign = samples::development_signer();
        return std::vector<sample>{{"single", samples::single(sign), {2}, 3},
                                    {"single with parts after its signature", samples::single(sign, true), {2}, 3},
                                    {"sha256", samples::single(sign, false, true), {2}, 3},
                                    {"level 1", samples::single(sign, false, false, 68), {1}, 3},
                                    {"archive", samples::with_archive(sign), {2}, 6},
                                    {"bundle", samples::bundle(sign), {2, 1}, 6, 3},
                                    {"second kind", samples::second_kind(sign), {2}}};
    }();
    return all;
}

// Every signature that holds stands where the intact file has one and
// covers none of the changed bytes [begin, end).
void expect_no_forgery(const reading_report& report, const sample& s, std::size_t begin, std::size_t end,
                       const std::string& label) {
    for (const auto* list : {&report.install_signatures, &report.walk_signatures}) {
        for (const auto& seen : *list) {
            if (seen.level == 0 || !development_keys) continue;
            auto range = std::find_if(s.signed_ranges.begin(), s.signed_ranges.end(),
                                      [&](const auto& r) { return r.end == seen.offset; });
            EXPECT_TRUE(range != s.signed_ranges.end() && (end <= range->begin || begin >= range->end))
                << label << ": level " << seen.level << " for the signature at " << seen.offset;
        }
    }
}

}  // namespace

// The intact samples read whole; cut anywhere, none reads as complete: the
// download scan refuses it for its size, the installation reading for a
// missing signature or an end of the data short of the declared size (a
// bundle's later members, or the parts after a signature, are covered by
// no signature).
TEST(HostileInputTest, IntactSamplesReadWholeAndCutOnesNever) {
    for (const sample& s : samples_read()) {
        const reading_report report = read(s.bytes, s.name);
        EXPECT_TRUE(report.download_accepted) << s.name;
        EXPECT_EQ(report.walk_signatures.size(), s.signed_ranges.size()) << s.name;
        if (development_keys) {
            EXPECT_TRUE(report.install_complete) << s.name;
            EXPECT_EQ(levels(report.install_signatures), s.levels) << s.name;
        }
        EXPECT_EQ(report.file_entries, s.entries) << s.name;
        EXPECT_EQ(report.image_records, s.records) << s.name;
        const std::size_t step = s.name == "archive" ? 7 : 1;
        for (std::size_t length = 0; length < s.bytes.size() && s.name != "sha256"; length += step) {
            const reading_report cut = read(s.bytes.substr(0, length), s.name + " cut to " + std::to_string(length));
            EXPECT_FALSE(cut.download_accepted || cut.install_complete) << s.name << " cut to " << length;
        }
    }
    const reading_report unsigned_package = read(samples::single(nullptr), "unsigned");
    EXPECT_FALSE(unsigned_package.install_complete);
    EXPECT_EQ(levels(unsigned_package.install_signatures), std::vector<int>{0});
}

// The end of the parts is the end of the file only where the file header
// says it ends: next_part returns -1 alike for a file cut at a part
// boundary, cut inside a part header, or followed by stray bytes.
TEST(HostileInputTest, EndOfTheFileAtItsDeclaredSize) {
    using test_bytes::file, test_bytes::part;
    const std::string whole = file(part(1, std::string(36, 'h')) + part(9, std::string(68, 's')));
    std::string longer_header = whole;
    longer_header[4] = static_cast<char>(longer_header[4] + 6);
    const std::pair<std::string, bool> cases[] = {
        {whole, true},       {whole.substr(0, 50), false}, {whole.substr(0, 53), false}, {whole.substr(0, whole.size() - 1), false},
        {whole + "xyz", false}, {longer_header, false},    {file(""), true},             {std::string(20, 'x'), false},
    };
    for (const auto& [bytes, complete] : cases) {
        for (bool hashing : {false, true}) {
            std::istringstream source(bytes);
            package_istream stream(source, hashing);
            stream.wanted_types = {1, 9};
            while (stream.next_part() != -1) {
            }
            EXPECT_EQ(stream.ended_at_declared_size(), complete) << bytes.size();
        }
    }
}

// One byte, a part length field or a requirement count changed: no reader
// misbehaves and no signature covering the change holds. Bytes 0-19 of a
// signature part are not examined, a changed byte of the Curve25519
// signature leaves the EdDSA one holding, one of the EdDSA signature falls
// back to level 1.
TEST(HostileInputTest, ChangedFieldsNeverVerify) {
    for (const sample& s : samples_read()) {
        struct change {
            std::string label, bytes;
            std::size_t begin, end;
            int level = -1;     // the one signature's level, where it is known
            int download = -1;  // whether the download scan takes it, where that is known
            bool incomplete = false;
        };
        std::vector<change> changes;
        // Every byte of a small package; of a larger one every header byte and a spread of the rest.
        const std::size_t budget = s.name == "single" ? 500 : s.name == "bundle" ? 200 : 100;
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < (s.bytes.size() <= budget ? s.bytes.size() : 8); ++i) at.push_back(i);
        for (const auto& p : s.parts)
            for (std::size_t i = p.offset - 6; i < p.offset && s.bytes.size() > budget; ++i) at.push_back(i);
        for (std::uint32_t state = 12345; at.size() < budget && s.bytes.size() > budget;)
            at.push_back(((state = state * 1103515245u + 12345u) >> 8) % s.bytes.size());
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        const auto signature = std::find_if(s.parts.begin(), s.parts.end(), [&](const auto& p) { return p.offset == s.signed_ranges[0].end; });
        for (std::size_t i : at) {
            std::string changed = s.bytes;
            changed[i] = static_cast<char>(changed[i] ^ 0xA5);
            int level = -1;
            if (s.levels.size() == 1 && i >= signature->offset && i < signature->offset + signature->length) {
                const std::size_t within = i - signature->offset;
                level = within < 20 ? s.levels[0] : within < 68 ? (s.levels[0] == 2 ? 2 : 0) : within < 132 ? 1 : s.levels[0];
            }
            changes.push_back({"byte " + std::to_string(i), changed, i, i + 1, level});
        }
        for (const auto& p : s.parts) {
            for (std::uint32_t length : {0u, 1u, p.length - 1, p.length + 1, 0x7FFFFFFFu, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
                std::string changed = s.bytes;
                set_le32(reinterpret_cast<unsigned char*>(changed.data()) + p.offset - 4, length);
                changes.push_back({"part at " + std::to_string(p.offset) + " of length " + std::to_string(length), changed, p.offset - 6, p.offset});
            }
            // Requirement counts: more than the part holds make the description
            // unreadable (a default-disabled list only the installation); 0 reads as an empty list.
            if ((p.type != 3 && p.type != 17 && p.type != 19 && p.type != 20) || p.length < 2) continue;
            const std::uint16_t count = get_le16(reinterpret_cast<const unsigned char*>(s.bytes.data()) + p.offset);
            for (std::uint16_t changed_count : {std::uint16_t(0), std::uint16_t(count + 1), std::uint16_t(0xFFFF)}) {
                std::string changed = s.bytes;
                set_le16(reinterpret_cast<unsigned char*>(changed.data()) + p.offset, changed_count);
                changes.push_back({"list at " + std::to_string(p.offset) + " counting " + std::to_string(changed_count), changed,
                                   p.offset, p.offset + 2, -1, p.type == 20 ? -1 : changed_count == 0});
                changes.back().incomplete = changed_count > count;
            }
        }
        for (const change& c : changes) {
            if (c.bytes == s.bytes) continue;
            const std::string label = s.name + ", " + c.label;
            const reading_report report = read(c.bytes, label);
            expect_no_forgery(report, s, c.begin, c.end, label);
            bool covered = false;
            for (const auto& r : s.signed_ranges) covered |= c.begin < r.end && c.end > r.begin;
            if (covered || c.incomplete) { EXPECT_FALSE(report.install_complete) << label; }
            if (development_keys && c.level >= 0) { EXPECT_EQ(levels(report.install_signatures), std::vector<int>{c.level}) << label; }
            if (c.download >= 0) { EXPECT_EQ(report.download_accepted, c.download == 1) << label; }
        }
    }
}

namespace {

// A signed package whose file archive holds the given inflated entries (or
// the given compressed data as it stands): signed over the changed archive,
// so that the installation reading goes as far as the archive lets it.
std::string archive_package(const std::string& data, bool compressed) {
    qpk::package_contents contents = samples::plain("archive", make_version(7, 2, 'f', 0));
    std::vector<qpk::raw_part> parts = qpk::package_parts(contents);
    for (qpk::raw_part& p : parts)
        if (p.type == part_type::file_archive) p.data = compressed ? data : qpk::zlib_compress(data);
    std::string bytes = qpk::encode_container(parts, false), error;
    if (!qpk::sign_parts(bytes, samples::development_signer(), error)) throw std::runtime_error(error);
    return bytes;
}

std::string deflate_with(const std::string& data, int window_bits, const std::string& dictionary = "") {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    if (!dictionary.empty()) deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dictionary.data()), static_cast<uInt>(dictionary.size()));
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

// File entries whose sizes and name lengths promise more than the archive
// holds, entries cut short, garbage after the last one: a regular file or a
// name that cannot be read whole makes the package broken; an entry that is
// passed over (a directory, a link, a file for another board) and runs past
// the data ends the archive. Compressed data that is corrupt, cut, wrapped
// the wrong way, needs a dictionary or goes on after its end never yields
// more than the data; a wrapping zlib does not take yields no entry.
TEST(HostileInputTest, FileEntriesAndCompressedData) {
    const std::string intact = qpk::encode_file_entries(samples::archive_files());
    std::vector<std::size_t> at;  // offsets of the entries
    for (std::size_t o = 0; o + 30 <= intact.size(); o += 30 + get_le16(reinterpret_cast<const unsigned char*>(intact.data()) + o + 28) +
                                                       get_le32(reinterpret_cast<const unsigned char*>(intact.data()) + o + 24))
        at.push_back(o);
    ASSERT_EQ(at.size(), 6u);
    const auto set = [](std::size_t offset, std::uint32_t v, int bytes = 4) {
        return [=](std::string& e) {
            auto* p = reinterpret_cast<unsigned char*>(e.data()) + offset;
            bytes == 4 ? set_le32(p, v) : set_le16(p, static_cast<std::uint16_t>(v));
        };
    };
    const struct {
        const char* what;
        std::function<void(std::string&)> apply;
        int complete;  // 1 complete, 0 not, -1 either
    } changes[] = {
        {"large file of size 0xFFFFFFFF", set(at[0] + 24, 0xFFFFFFFF), 0},
        {"large file one byte longer", set(at[0] + 24, 70001), -1},
        {"large file of size 0", set(at[0] + 24, 0), -1},
        {"directory of size 0xFFFFFFFF", set(at[1] + 24, 0xFFFFFFFF), 1},
        {"link of size 0xFFFFFFFF", set(at[2] + 24, 0xFFFFFFFF), 1},
        {"file for another board of size 0xFFFFFFFF", set(at[4] + 24, 0xFFFFFFFF), 1},
        {"last entry of size 0xFFFFFFFF", set(at[5] + 24, 0xFFFFFFFF), 0},
        {"last name of length 0xFFFF", set(at[5] + 28, 0xFFFF, 2), 0},
        {"first name of length 0xFFFF", set(at[0] + 28, 0xFFFF, 2), -1},
        {"large file made a directory", set(at[0], 0x41ED, 2), 1},
        {"cut inside the last header", [&](std::string& e) { e.resize(at[5] + 10); }, 1},
        {"cut inside the last name", [&](std::string& e) { e.resize(at[5] + 32); }, 0},
        {"cut inside the large file", [&](std::string& e) { e.resize(at[0] + 40000); }, 0},
        {"29 bytes of garbage after the last entry", [](std::string& e) { e.append(29, '\x81'); }, 1},
        {"a header of 0xFF bytes after the last entry", [](std::string& e) { e.append(30, '\xFF'); }, 0},
    };
    for (const auto& c : changes) {
        std::string entries = intact;
        c.apply(entries);
        const reading_report report = read(archive_package(entries, false), c.what);
        if (development_keys && c.complete >= 0) { EXPECT_EQ(report.install_complete, c.complete == 1) << c.what; }
        for (const std::string& violation : hostile::read_as_file_archive(entries).violations) ADD_FAILURE() << c.what << ": " << violation;
    }

    const std::string compressed = qpk::zlib_compress(intact);
    std::vector<std::pair<std::string, int>> variants = {  // the data, and the entries read (-1: any)
        {deflate_with(intact, -15), 0},          {deflate_with(intact, 31), 0},
        {deflate_with(intact, 15, "dictionary"), 0}, {"", 0},
        {compressed.substr(0, compressed.size() / 2), -1}, {compressed.substr(0, compressed.size() - 4), 6},
        {compressed + std::string(5000, 'x'), 6},  {compressed + compressed, 6},
    };
    for (std::uint32_t i = 0, state = 99; i < 40; ++i) {
        state = state * 1103515245u + 12345u;
        std::string changed = compressed;
        changed[i < 8 ? i : (state >> 8) % compressed.size()] ^= static_cast<char>(1 << (i % 8));
        variants.emplace_back(changed, -1);
    }
    for (const auto& [data, entries] : variants) {
        const reading_report report = read(archive_package(data, true), "compressed archive");
        if (entries >= 0) { EXPECT_EQ(report.file_entries, static_cast<std::size_t>(entries)) << data.size(); }
    }
}

// Found by the fuzz target: a part that claims more bytes than the file
// holds, read byte by byte past the end of the data and then stepped back
// on. The stream counted a byte that never came as consumed, so its
// position ran one past the data and the byte read again after the step
// back was handed out as the byte of a later position.
TEST(HostileInputTest, ReadPastTheDataThenStepBack) {
    const std::string bytes = test_bytes::file(test_bytes::part_claiming(7, 10, std::string("A\0", 2)));
    for (bool hashing : {false, true}) {
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
    }
    // The fuzzer's own input: a bundle header part that claims 0x241E bytes of which the file holds one.
    read(std::string("\x1e\xf1\xd0\xba\xc1\x03\x00\x00\x12\x00\x24\x1e\xf1\x00", 14), "fuzzer input");
}

// Saved file manifests as another tool, or a run cut short, might leave
// them: whatever is loaded saves and loads back unchanged.
TEST(HostileInputTest, ManifestLoader) {
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "M /flash/f" + std::to_string(i % 700) + " /ram/tmp" + std::to_string(i) + "\n";
    for (const std::string& text :
         {std::string(), std::string("U /flash/a\nL /flash/b /x y\nM /flash/c /ram/tmpA b  \n"), std::string("U /flash/cut-short"),
          std::string("U /flash/with\0nul\nM /flash/x \0\n", 31), std::string("M /flash/a\nL /flash/b\nU\n   \nU /flash/after\n"),
          std::string("U /flash/a\r\nM\t/flash/b /c\n"), std::string("\nU /flash/after-an-empty-line\n"),
          "U " + std::string(100000, 'p') + "\n", many}) {
        for (const std::string& violation : hostile::read_as_manifest(text, scratch)) ADD_FAILURE() << text.substr(0, 60) << ": " << violation;
    }
}
