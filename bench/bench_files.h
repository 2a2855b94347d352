// The files of the packages that the install benchmark and bench/compare.sh
// measure: 64 files of equal size, half of them text that compresses well,
// half random bytes, the same in every run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "qpk/writer.h"

// Half the files are text that compresses well, half random bytes.
inline std::vector<qpk::file_item> bench_files(std::size_t total) {
    static const char* const words[] = {"interface", "address", "route", "bridge", "filter",   "queue",
                                        "wireless",  "system",  "ntp",   "hello",  "disabled", "comment"};
    std::mt19937_64 random(42);
    std::vector<qpk::file_item> files;
    constexpr int file_count = 64;
    const std::size_t size = total / file_count;
    for (int i = 0; i < file_count; ++i) {
        std::string data;
        data.reserve(size + 16);
        if (i % 2 == 0) {
            while (data.size() < size) {
                data += words[random() % 12];
                data += random() % 8 == 0 ? '\n' : ' ';
            }
        } else {
            while (data.size() < size) {
                std::uint64_t word = random();
                data.append(reinterpret_cast<const char*>(&word), sizeof word);
            }
        }
        data.resize(size);
        char name[32];
        std::snprintf(name, sizeof name, "data/file-%02d", i);
        files.push_back(qpk::regular_file(name, std::move(data)));
    }
    return files;
}

