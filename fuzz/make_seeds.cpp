// Writes the seed corpora of the fuzz targets: the sample package files
// (tests/support/sample_packages.h), signed with the development key, and
// the inflated entries of a file archive into the first directory, and a
// few saved file manifests into the second.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/sample_packages.h"

namespace {

// The sample packages, each by a file name.
std::vector<std::pair<std::string, std::string>> all_samples(const qpk::sign_function& sign) {
    return {{"single.qpk", samples::single(sign)},
            {"single-trailing.qpk", samples::single(sign, true)},
            {"sha256.qpk", samples::single(sign, false, true)},
            {"level1.qpk", samples::single(sign, false, false, 68)},
            {"unsigned.qpk", samples::single(nullptr)},
            {"archive.qpk", samples::with_archive(sign)},
            {"bundle.vpk", samples::bundle(sign)},
            {"second-kind.qpk", samples::second_kind(sign)}};
}

bool write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds <package corpus directory> <manifest corpus directory>\n");
        return 2;
    }
    const std::string packages = argv[1];
    const std::string manifests = argv[2];
    bool ok = true;
    for (const auto& [name, bytes] : all_samples(samples::signer(DEVELOPMENT_PRIVATE_KEY)))
        ok &= write(packages + "/" + name, bytes);
    // The inflated content of a file archive, for the target's archive reading.
    std::vector<qpk::file_item> files = samples::archive_files();
    files[0].data.resize(5000);
    ok &= write(packages + "/entries", qpk::encode_file_entries(files));

    const std::vector<std::pair<std::string, std::string>> saved = {
        {"empty", ""},
        {"one-of-each", "U /flash/var/pdb/old\nL /flash/bin/sh /bin/busybox\nM /flash/etc/x /flash/etc/tmpAbc123\n"},
        {"blanks", "M /flash/a b c d\nU  /flash/b\nX /flash/c d\n\nU /flash/after-empty\n"},
        {"cut-short", "U /flash/whole\nM /flash/cut /ram/tmp"},
    };
    for (const auto& [name, text] : saved) ok &= write(manifests + "/" + name, text);
    return ok ? 0 : 1;
}
