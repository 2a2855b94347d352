// The package "bench-7.2" of the benchmarks, signed with the development key.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "signing/key_file.h"
#include "signing/signer.h"

// Writes the signed package holding files to path.
inline bool write_bench_package(const std::string& path, std::vector<qpk::file_item> files) {
    signing::private_keys keys{};
    std::string error;
    if (!signing::read_private_key_file(SOURCE_DIR "/keys/development.private", keys, error)) {
        std::fprintf(stderr, "bench package: %s\n", error.c_str());
        return false;
    }
    qpk::package_contents c;
    c.name = "bench";
    c.version = 0x07026600;  // 7.2
    c.build_time = 1700000000;
    c.files = std::move(files);
    std::string file = qpk::build_package(c, [&](const qpk::digest_buffer& digest, std::size_t length) {
        std::vector<std::uint8_t> signature;
        signing::sign_digest(keys, digest.data(), 2, signature);
        signature.resize(length);
        return std::string(signature.begin(), signature.end());
    });
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
    return !file.empty() && out.good();
}
