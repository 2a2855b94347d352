// Package files changed, cut short or made up, read through every reader of
// the installer (support/hostile_input.h): nothing may crash or run away,
// the readers must agree, no changed package may verify and no cut one read
// as whole.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "stream/little_endian.h"
#include "stream/package_bytes.h"
#include "support/hostile_input.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

namespace {

const hostile::scratch_directory scratch;
const bool development_keys = test_vectors::build_has_vector_keys();  // else levels mean nothing

hostile::reading_report read(const std::string& bytes, const std::string& label) {
    hostile::reading_report report = hostile::read_as_installer(bytes, scratch);
    for (const std::string& violation : report.violations) ADD_FAILURE() << label << ": " << violation;
    return report;
}

std::string levels(const std::vector<hostile::signature_seen>& seen) {
    std::string out;
    for (const auto& s : seen) out += std::to_string(s.level);
    return out;
}

// A valid package: its levels, file entries, image records, parts, and
// what each of its signatures covers.
struct sample {
    std::string name, bytes, levels;
    std::size_t entries, records = 1;
    std::vector<qpk::located_part> parts{};
    std::vector<test_bytes::signature_range> ranges = test_bytes::signature_ranges(bytes);
};

const std::vector<sample>& all_samples() {
    static const std::vector<sample> all = [] {
        const auto& sign = samples::development_signer();
        std::vector<sample> list = {{"single", samples::single(sign), "2", 3},
                                    {"with parts after its signature", samples::single(sign, true), "2", 3},
                                    {"sha256", samples::single(sign, false, true), "2", 3},
                                    {"level 1", samples::single(sign, false, false, 68), "1", 3},
                                    {"archive", samples::with_archive(sign), "2", 6},
                                    {"bundle", samples::bundle(sign), "21", 6, 3},
                                    {"second kind", samples::second_kind(sign), "2", 0}};
        std::string error;
        for (sample& s : list) qpk::split_parts(s.bytes, s.parts, error);
        return list;
    }();
    return all;
}

}  // namespace

// The intact samples read whole; cut anywhere, none reads as complete: the
// download scan refuses it for its size, the installation reading for a
// missing signature or an end of the data short of the declared size (a
// bundle's later members and the parts after a signature are covered by no
// signature).
TEST(HostileInputTest, IntactSamplesReadWholeAndCutOnesNever) {
    for (const sample& s : all_samples()) {
        const hostile::reading_report report = read(s.bytes, s.name);
        EXPECT_TRUE(report.download_accepted && report.walk_signatures.size() == s.ranges.size()) << s.name;
        EXPECT_TRUE(!development_keys || (report.install_complete && levels(report.install_signatures) == s.levels)) << s.name;
        EXPECT_EQ(report.file_entries * 10 + report.image_records, s.entries * 10 + s.records) << s.name;
        for (std::size_t length = 0; length < s.bytes.size() && s.name != "sha256"; length += s.name == "archive" ? 7 : 1) {
            const hostile::reading_report cut = read(s.bytes.substr(0, length), s.name + " cut");
            EXPECT_FALSE(cut.download_accepted || cut.install_complete) << s.name << " cut to " << length;
        }
    }
    const hostile::reading_report unsigned_package = read(samples::single(nullptr), "unsigned");
    EXPECT_EQ(levels(unsigned_package.install_signatures) + std::to_string(unsigned_package.install_complete), "00");
}

// The end of the parts is the end of the file only where the file header
// says it ends: next_part returns -1 alike for a file cut at a part
// boundary, cut inside a part header, or followed by stray bytes.
TEST(HostileInputTest, EndOfTheFileAtItsDeclaredSize) {
    using test_bytes::file, test_bytes::part;
    const std::string whole = file(part(1, std::string(36, 'h')) + part(9, std::string(68, 's')));
    std::string longer = whole;
    longer[4] = static_cast<char>(longer[4] + 6);
    const std::pair<std::string, bool> cases[] = {{whole, true}, {whole.substr(0, 50), false}, {whole.substr(0, 53), false},
                                                  {whole.substr(0, whole.size() - 1), false}, {whole + "xyz", false},
                                                  {longer, false}, {file(""), true}, {std::string(20, 'x'), false}};
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

// One byte, a part length or a requirement count changed: no reader
// misbehaves and no signature covering the change holds. Bytes 0-19 of a
// signature part are not examined; a changed byte of the Curve25519
// signature leaves the EdDSA one holding, one of the EdDSA signature falls
// back to level 1. A count beyond the part makes the description unreadable
// (a default-disabled list only the installation); 0 is an empty list.
TEST(HostileInputTest, ChangedFieldsNeverVerify) {
    for (const sample& s : all_samples()) {
        const std::size_t budget = s.name == "single" ? 500 : s.name == "bundle" ? 200 : 100;
        std::vector<std::size_t> at;  // every byte of a small package; of others the headers and a spread
        for (std::size_t i = 0; i < (s.bytes.size() <= budget ? s.bytes.size() : 8); ++i) at.push_back(i);
        for (const auto& p : s.parts)
            for (std::size_t i = p.offset - 6; i < p.offset && s.bytes.size() > budget; ++i) at.push_back(i);
        for (std::uint32_t state = 12345; at.size() < budget && s.bytes.size() > budget;)
            at.push_back(((state = state * 1103515245u + 12345u) >> 8) % s.bytes.size());
        struct change {
            std::string bytes;
            std::size_t begin, end;
            std::string levels;  // where known
            int download;        // where known, whether the scan takes it
            bool incomplete;
        };
        std::vector<change> changes;
        const auto& signature = *std::find_if(s.parts.begin(), s.parts.end(), [&](auto& p) { return p.offset == s.ranges[0].end; });
        for (std::size_t i : at) {
            changes.push_back({s.bytes, i, i + 1, "", -1, false});
            changes.back().bytes[i] ^= static_cast<char>(0xA5);
            const std::size_t within = i - signature.offset;
            if (s.levels.size() == 1 && i >= signature.offset && within < signature.length)
                changes.back().levels = within < 20 || within >= 132 ? s.levels : within < 68 ? (s.levels == "2" ? "2" : "0") : "1";
        }
        for (const auto& p : s.parts) {
            for (std::uint32_t length : {0u, 1u, p.length - 1, p.length + 1, 0x7FFFFFFFu, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
                changes.push_back({s.bytes, p.offset - 6, p.offset, "", -1, false});
                set_le32(reinterpret_cast<unsigned char*>(changes.back().bytes.data()) + p.offset - 4, length);
            }
            if ((p.type != 3 && p.type != 17 && p.type != 19 && p.type != 20) || p.length < 2) continue;
            const std::uint16_t count = get_le16(reinterpret_cast<const unsigned char*>(s.bytes.data()) + p.offset);
            for (std::uint16_t changed : {std::uint16_t(0), std::uint16_t(count + 1), std::uint16_t(0xFFFF)}) {
                changes.push_back({s.bytes, p.offset, p.offset + 2, "", p.type == 20 ? -1 : changed == 0, changed > count});
                set_le16(reinterpret_cast<unsigned char*>(changes.back().bytes.data()) + p.offset, changed);
            }
        }
        for (const change& c : changes) {
            if (c.bytes == s.bytes) continue;
            const std::string label = s.name + " changed at " + std::to_string(c.begin);
            const hostile::reading_report report = read(c.bytes, label);
            bool covered = c.incomplete;
            for (const auto& r : s.ranges) covered |= c.begin < r.end && c.end > r.begin;
            EXPECT_FALSE(covered && report.install_complete) << label;
            EXPECT_TRUE(c.download < 0 || report.download_accepted == (c.download == 1)) << label;
            if (!development_keys) continue;
            EXPECT_TRUE(c.levels.empty() || levels(report.install_signatures) == c.levels) << label;
            for (const auto* list : {&report.install_signatures, &report.walk_signatures}) {
                for (const auto& seen : *list) {  // a signature that holds stands where the intact file has one, clear of the change
                    const auto r = std::find_if(s.ranges.begin(), s.ranges.end(), [&](auto& r) { return r.end == seen.offset; });
                    EXPECT_TRUE(seen.level == 0 || (r != s.ranges.end() && (c.end <= r->begin || c.begin >= r->end))) << label;
                }
            }
        }
    }
}

namespace {

// A signed package whose file archive holds the given data (compressed here
// unless it is already), so that the installation goes as far as it lets it.
std::string archive_package(const std::string& data, bool compressed) {
    std::vector<qpk::raw_part> parts = qpk::package_parts(samples::plain("archive", 7));
    for (qpk::raw_part& p : parts)
        if (p.type == part_type::file_archive) p.data = compressed ? data : qpk::zlib_compress(data);
    std::string bytes = qpk::encode_container(parts, false), error;
    qpk::sign_parts(bytes, samples::development_signer(), error);
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
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

// File entries that promise more than the archive holds, entries cut short,
// garbage after the last one: a regular file or a name that cannot be read
// whole makes the package broken; an entry passed over (a directory, a
// link, a file for another board) that runs past the data ends the archive.
// Compressed data that is corrupt, cut, wrapped the wrong way, needs a
// dictionary or goes on after its end never yields more than the data.
TEST(HostileInputTest, FileEntriesAndCompressedData) {
    const std::string intact = qpk::encode_file_entries(samples::archive_files());
    const auto* p = reinterpret_cast<const unsigned char*>(intact.data());
    std::vector<std::size_t> at;  // where the entries start
    for (std::size_t o = 0; o + 30 <= intact.size(); o += 30 + get_le16(p + o + 28) + get_le32(p + o + 24)) at.push_back(o);
    ASSERT_EQ(at.size(), 6u);
    const auto set = [](std::size_t offset, std::uint32_t v, bool wide = true) {
        return [=](std::string& e) {
            wide ? set_le32(reinterpret_cast<unsigned char*>(e.data()) + offset, v)
                 : set_le16(reinterpret_cast<unsigned char*>(e.data()) + offset, static_cast<std::uint16_t>(v));
        };
    };
    const std::pair<std::function<void(std::string&)>, int> changes[] = {  // the change, and 1 complete, 0 not, -1 either
        {set(at[0] + 24, 0xFFFFFFFF), 0}, {set(at[0] + 24, 70001), -1}, {set(at[0] + 24, 0), -1},
        {set(at[1] + 24, 0xFFFFFFFF), 1}, {set(at[2] + 24, 0xFFFFFFFF), 1}, {set(at[4] + 24, 0xFFFFFFFF), 1},
        {set(at[5] + 24, 0xFFFFFFFF), 0}, {set(at[5] + 28, 0xFFFF, false), 0}, {set(at[0] + 28, 0xFFFF, false), -1},
        {set(at[0], 0x41ED, false), 1},   {[&](std::string& e) { e.resize(at[5] + 10); }, 1},
        {[&](std::string& e) { e.resize(at[5] + 32); }, 0}, {[&](std::string& e) { e.resize(at[0] + 40000); }, 0},
        {[](std::string& e) { e.append(29, '\x81'); }, 1}, {[](std::string& e) { e.append(30, '\xFF'); }, 0},
    };
    for (const auto& [apply, complete] : changes) {
        std::string entries = intact;
        apply(entries);
        const std::string label = "entries changed, " + std::to_string(&complete - &changes[0].second);
        const hostile::reading_report report = read(archive_package(entries, false), label);
        EXPECT_TRUE(!development_keys || complete < 0 || report.install_complete == (complete == 1)) << label;
        for (const std::string& violation : hostile::read_as_file_archive(entries).violations) ADD_FAILURE() << label << violation;
    }
    const std::string compressed = qpk::zlib_compress(intact);
    std::vector<std::pair<std::string, int>> variants = {  // the data, and the entries read (-1: any)
        {deflate_with(intact, -15), 0}, {deflate_with(intact, 31), 0}, {deflate_with(intact, 15, "dictionary"), 0}, {"", 0},
        {compressed.substr(0, compressed.size() / 2), -1}, {compressed.substr(0, compressed.size() - 4), 6},
        {compressed + std::string(5000, 'x'), 6}, {compressed + compressed, 6}};
    for (std::uint32_t i = 0, state = 99; i < 40; ++i, state = state * 1103515245u + 12345u) {
        variants.emplace_back(compressed, -1);
        variants.back().first[i < 8 ? i : (state >> 8) % compressed.size()] ^= static_cast<char>(1 << (i % 8));
    }
    for (const auto& [data, entries] : variants) {
        const hostile::reading_report report = read(archive_package(data, true), "compressed archive");
        EXPECT_TRUE(entries < 0 || report.file_entries == static_cast<std::size_t>(entries)) << data.size();
    }
}

// Found by the fuzz target: a part that claims more bytes than the file
// holds, read byte by byte past the end of the data, then stepped back on.
// The stream counted a byte that never came as consumed, so its position ran
// one past the data and the byte read again after the step back was handed
// out as the byte of a later position.
TEST(HostileInputTest, ReadPastTheDataThenStepBack) {
    for (bool hashing : {false, true}) {
        std::istringstream source(test_bytes::file(test_bytes::part_claiming(7, 10, std::string("A\0", 2))));
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
    // The fuzzer's own input: a bundle header part that claims 0x241E bytes, of which the file holds one.
    read(std::string("\x1e\xf1\xd0\xba\xc1\x03\x00\x00\x12\x00\x24\x1e\xf1\x00", 14), "fuzzer input");
}

// Saved file manifests as another tool or a run cut short might leave them:
// whatever is loaded saves and loads back unchanged.
TEST(HostileInputTest, ManifestLoader) {
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "M /flash/f" + std::to_string(i % 700) + " /ram/tmp" + std::to_string(i) + "\n";
    for (const std::string& text : {std::string(), std::string("U /flash/a\nL /flash/b /x y\nM /flash/c /ram/tmpA b  \n"),
                                    std::string("U /flash/cut-short"), std::string("U /flash/with\0nul\nM /flash/x \0\n", 31),
                                    std::string("M /flash/a\nL /flash/b\nU\n   \nU /flash/after\n"), std::string("U /flash/a\r\nM\t/flash/b /c\n"),
                                    std::string("\nU /flash/after-an-empty-line\n"), "U " + std::string(100000, 'p') + "\n", many})
        for (const std::string& violation : hostile::read_as_manifest(text, scratch)) ADD_FAILURE() << text.substr(0, 60) << violation;
}
