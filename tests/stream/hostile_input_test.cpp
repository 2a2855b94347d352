// Package files changed, cut short or made up, read through every reader of the installer (fuzz/hostile_input.h):
// nothing may crash or run away, the readers must agree, no changed package may verify, no cut one read whole.
#include <gtest/gtest.h>

#include "hostile_input.h"
#include "stream/little_endian.h"
#include "stream/package_bytes.h"
#include "support/sample_packages.h"
#include "verify/vectors.h"

namespace {

const hostile::scratch_directory scratch;

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

}  // namespace

// The samples read whole; cut anywhere, none reads as complete: the scan refuses it for its size, the installation for
// a missing signature or an end short of the declared size (a bundle cut between members too). A byte or a part length
// changed: no reader misbehaves, and a signature that holds stands where the intact file has one, clear of the change.
// Bytes 0-19 of a signature part are not examined; a changed Curve25519 signature leaves the EdDSA one holding, a
// changed EdDSA one falls back to level 1.
TEST(HostileInputTest, SamplesIntactCutAndChanged) {
    const bool development_keys = test_vectors::build_has_vector_keys();  // else levels mean nothing
    const auto& sign = samples::development_signer();
    std::vector<sample> all = {
        {"single", samples::single(sign), "2", 3},
        {"trailing", samples::single(sign, true), "2", 3},
        {"sha256", samples::single(sign, false, true), "2", 3},
        {"level 1", samples::single(sign, false, false, 68), "1", 3},
        {"archive", samples::with_archive(sign), "2", 6},
        {"bundle", samples::bundle(sign), "21", 6, 3},
        {"second kind", samples::second_kind(sign), "2", 0},
    };
    for (sample& s : all) {
        SCOPED_TRACE(s.name);
        std::string error;
        qpk::split_parts(s.bytes, s.parts, error);
        const hostile::reading_report report = read(s.bytes, s.name);
        EXPECT_TRUE(report.download_accepted);
        EXPECT_EQ(report.walk_signatures.size(), s.ranges.size());
        EXPECT_TRUE(!development_keys || report.install_complete);
        EXPECT_TRUE(!development_keys || levels(report.install_signatures) == s.levels);
        EXPECT_EQ(report.file_entries, s.entries);
        EXPECT_EQ(report.image_records, s.records);
        const std::size_t step = s.name == "sha256" ? s.bytes.size() : s.name == "archive" ? 7 : 1;
        for (std::size_t length = 0; length < s.bytes.size(); length += step) {
            const hostile::reading_report cut = read(s.bytes.substr(0, length), s.name + " cut");
            EXPECT_FALSE(cut.download_accepted || cut.install_complete) << length;
        }
        struct change {
            std::string bytes;
            std::size_t begin, end;  // the range changed
        };
        std::vector<change> changes;
        const std::size_t budget = s.name == "single" ? 500 : 100;
        std::uint32_t state = 1;
        for (std::uint32_t i = 0; i < std::min(budget, s.bytes.size()); ++i) {
            const std::size_t at = s.bytes.size() <= budget ? i : (state >> 8) % s.bytes.size();
            state = state * 1103515245u + 12345u;
            changes.push_back({s.bytes, at, at + 1});
            changes.back().bytes[at] ^= static_cast<char>(0xA5);
        }
        for (const auto& p : s.parts) {
            for (std::uint32_t length : {0u, 1u, p.length - 1, p.length + 1, 0xFFFFFFF9u}) {
                changes.push_back({s.bytes, p.offset - 4, p.offset});
                set_le32(reinterpret_cast<unsigned char*>(changes.back().bytes.data()) + p.offset - 4, length);
            }
        }
        const auto& signature =
            *std::find_if(s.parts.begin(), s.parts.end(), [&](auto& p) { return p.offset == s.ranges[0].end; });
        for (const auto& [bytes, begin, end] : changes) {
            const hostile::reading_report changed = read(bytes, s.name);
            if (!development_keys || bytes == s.bytes) continue;
            const std::size_t within = begin - signature.offset;
            if (s.levels.size() == 1 && end == begin + 1 && within < signature.length) {
                const std::string curve_broken = s.levels == "2" ? "2" : "0";
                const std::string expected = within < 20 || within >= 132 ? s.levels : within < 68 ? curve_broken : "1";
                EXPECT_EQ(levels(changed.install_signatures), expected) << begin;
            }
            for (const auto* list : {&changed.install_signatures, &changed.walk_signatures}) {
                for (const auto& seen : *list) {
                    const auto r = std::find_if(s.ranges.begin(), s.ranges.end(),
                                                [&](auto& r) { return r.end == seen.offset; });
                    const bool clear = r != s.ranges.end() && (end <= r->begin || begin >= r->end);
                    EXPECT_TRUE(seen.level == 0 || clear) << "changed at " << begin;
                }
            }
        }
    }
    // The fuzzer's own input: a bundle header part that claims 0x241E bytes, of which the file holds one. Read past
    // its end and stepped back on, a byte that never came was counted as consumed and the byte read again handed out
    // as that of a later position (the cut samples show it too).
    read(std::string("\x1e\xf1\xd0\xba\xc1\x03\x00\x00\x12\x00\x24\x1e\xf1\x00", 14), "fuzzer input");
    const hostile::reading_report unsigned_package = read(samples::single(nullptr), "unsigned");
    EXPECT_EQ(levels(unsigned_package.install_signatures), "0");
    EXPECT_FALSE(unsigned_package.install_complete);
}
