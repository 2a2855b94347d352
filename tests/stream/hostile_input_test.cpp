// Package files changed, cut short or made up, read through every reader of the installer (fuzz/hostile_input.h): nothing may
// crash or run away, the readers must agree, no changed package may verify, no cut one read whole.
#include <gtest/gtest.h>


#include "stream/little_endian.h"
#include "stream/package_bytes.h"
#include "hostile_input.h"
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

// A valid package: its levels, file entries and image records, its parts and what its signatures cover.
struct sample {
    std::string name, bytes, levels;
    std::size_t entries, records = 1;
    std::vector<qpk::located_part> parts{};
    std::vector<test_bytes::signature_range> ranges = test_bytes::signature_ranges(bytes);
};

const std::vector<sample>& all_samples() {
    static const std::vector<sample> all = [] {
        const auto& sign = samples::development_signer();
        std::vector<sample> list = {{"single", samples::single(sign), "2", 3},           {"trailing", samples::single(sign, true), "2", 3},
                                    {"sha256", samples::single(sign, false, true), "2", 3}, {"level 1", samples::single(sign, false, false, 68), "1", 3},
                                    {"archive", samples::with_archive(sign), "2", 6},       {"bundle", samples::bundle(sign), "21", 6, 3},
                                    {"second kind", samples::second_kind(sign), "2", 0}};
        std::string error;
        for (sample& s : list) qpk::split_parts(s.bytes, s.parts, error);
        return list;
    }();
    return all;
}

}  // namespace

// The samples read whole; cut anywhere, none reads as complete: the scan refuses it for its size, the installation for a missing
// signature or an end short of the declared size (a bundle cut between members too).
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

// next_part returns -1 alike at the declared end, at a part boundary before it, inside a part header, or before stray bytes: only
// the first is whole.
TEST(HostileInputTest, EndOfTheFileAtItsDeclaredSize) {
    using test_bytes::file, test_bytes::part;
    const std::string whole = file(part(1, std::string(36, 'h')) + part(9, std::string(68, 's')));
    std::string longer = whole;
    longer[4] = static_cast<char>(longer[4] + 6);
    for (const auto& [bytes, complete] : {std::pair{whole, true}, {whole.substr(0, 50), false}, {whole.substr(0, 53), false}, {whole + "xyz", false},
                                          {whole.substr(0, whole.size() - 1), false}, {longer, false}, {file(""), true}, {std::string(20, 'x'), false}}) {
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

// A byte or a part length changed: no reader misbehaves, and a signature that holds stands where the intact file has one, clear
// of the change. Bytes 0-19 of a signature part are not examined; a changed Curve25519 signature leaves the EdDSA one holding, a
// changed EdDSA one falls back to level 1.
TEST(HostileInputTest, ChangedBytesNeverVerify) {
    for (const sample& s : all_samples()) {
        const std::size_t budget = s.name == "single" ? 500 : 100;
        std::vector<std::tuple<std::string, std::size_t, std::size_t>> changes;  // the bytes, and the range changed
        for (std::uint32_t i = 0, state = 1; i < std::min(budget, s.bytes.size()); ++i, state = state * 1103515245u + 12345u) {
            const std::size_t at = s.bytes.size() <= budget ? i : (state >> 8) % s.bytes.size();
            changes.emplace_back(s.bytes, at, at + 1);
            std::get<0>(changes.back())[at] ^= static_cast<char>(0xA5);
        }
        for (const auto& p : s.parts)
            for (std::uint32_t length : {0u, 1u, p.length - 1, p.length + 1, 0xFFFFFFF9u}) {
                changes.emplace_back(s.bytes, p.offset - 4, p.offset);
                set_le32(reinterpret_cast<unsigned char*>(std::get<0>(changes.back()).data()) + p.offset - 4, length);
            }
        const auto& signature = *std::find_if(s.parts.begin(), s.parts.end(), [&](auto& p) { return p.offset == s.ranges[0].end; });
        for (const auto& [bytes, begin, end] : changes) {
            const hostile::reading_report report = read(bytes, s.name);
            const std::size_t within = begin - signature.offset;
            if (!development_keys || bytes == s.bytes) continue;
            if (s.levels.size() == 1 && end == begin + 1 && begin >= signature.offset && within < signature.length) {
                EXPECT_EQ(levels(report.install_signatures), within < 20 || within >= 132 ? s.levels : within < 68 ? (s.levels == "2" ? "2" : "0") : "1") << begin;
            }
            for (const auto* list : {&report.install_signatures, &report.walk_signatures})
                for (const auto& seen : *list) {
                    const auto r = std::find_if(s.ranges.begin(), s.ranges.end(), [&](auto& r) { return r.end == seen.offset; });
                    EXPECT_TRUE(seen.level == 0 || (r != s.ranges.end() && (end <= r->begin || begin >= r->end))) << s.name << " changed at " << begin;
                }
        }
    }
}

// Found by the fuzz target: a part that claims more bytes than the file holds, read byte by byte past its end, then stepped back
// on. The byte that never came was counted as consumed, so the position ran one past the data and the byte read again was handed
// out as that of a later position.
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

// Saved manifests as another tool or a run cut short might leave them: whatever is loaded saves and loads back unchanged.
TEST(HostileInputTest, ManifestLoader) {
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "M /flash/f" + std::to_string(i % 700) + " /ram/tmp" + std::to_string(i) + "\n";
    for (const std::string& text : {std::string("U /flash/a\nL /flash/b /x y\nM /flash/c /ram/tmpA b  \n"), std::string("U /flash/cut-short"),
                                    std::string("U /flash/with\0nul\nM /flash/x \0\n", 31), std::string("M /flash/a\nL /flash/b\nU\n   \nU /flash/after\n"),
                                    std::string("U /flash/a\r\nM\t/flash/b /c\n"), "U " + std::string(100000, 'p') + "\n", many})
        for (const std::string& violation : hostile::read_as_manifest(text, scratch)) ADD_FAILURE() << text.substr(0, 60) << violation;
}
