// What the durability of a run costs when other programs have much data
// waiting to be written: the real program installs a package of 64 MiB in a
// temporary root on the machine's own disk (not tmpfs), once with the page
// cache written out and once right after another program left 1 GiB of
// unrelated data unwritten on the same disk. A run that flushes only its own
// files and directories takes about as long both times; one that flushed
// every dirty page of the machine would wait for the whole gigabyte.
//
// Counters: quiet_ms and busy_ms, the wall time of the fastest run of each
// kind, and ratio = busy / quiet (target: at most 1.2); floor_quiet_ms,
// floor_busy_ms and floor_ratio, the same for writing and flushing the
// package's 64 MiB as plain files (what the disk itself allows).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench_package.h"

namespace {

namespace fs = std::filesystem;

// Eight files of 8 MiB of bytes that do not compress.
bool write_package(const std::string& path) {
    std::mt19937_64 random(7);
    std::vector<qpk::file_item> files;
    for (int i = 0; i < 8; ++i) {
        std::string data(8u << 20, '\0');
        for (std::size_t at = 0; at < data.size(); at += 8) {
            const std::uint64_t word = random();
            std::copy_n(reinterpret_cast<const char*>(&word), 8, data.data() + at);
        }
        files.push_back(qpk::regular_file("data/part-" + std::to_string(i), std::move(data)));
    }
    return write_bench_package(path, std::move(files));
}

// Wall seconds of one upgrade run of the real program on root.
double install_seconds(const std::string& root) {
    const auto start = std::chrono::steady_clock::now();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(INSTALLER_BIN, INSTALLER_BIN, "-q", "-r", root.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 1;
    ::waitpid(pid, &status, 0);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
}

// The floor: the same 64 MiB written to eight new files, each flushed, the
// way any program that makes its own files lasting must.
double floor_seconds(const std::string& root) {
    const auto start = std::chrono::steady_clock::now();
    const std::string chunk(1u << 20, 'f');
    for (int i = 0; i < 8; ++i) {
        const std::string path = root + "/flash/floor-" + std::to_string(i);
        FILE* out = std::fopen(path.c_str(), "wb");
        if (!out) return -1;
        for (int m = 0; m < 8; ++m) std::fwrite(chunk.data(), 1, chunk.size(), out);
        std::fflush(out);
        ::fdatasync(::fileno(out));
        std::fclose(out);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

// 1 GiB written and left to the kernel to write out, as a busy program would.
void leave_unwritten(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string chunk(1u << 20, 'd');
    for (int i = 0; i < 1024; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

void BM_InstallBesideUnwrittenData(benchmark::State& state) {
    char pattern[] = "/var/tmp/installer-durability-XXXXXX";
    if (!::mkdtemp(pattern)) return state.SkipWithError("no temporary directory on disk");
    const std::string base = pattern, root = base + "/root", other = base + "/other-program-data";
    for (const char* dir : {"/flash/boot", "/flash/var/pdb", "/ram", "/tmp", "/rw/pckg/.download"})
        fs::create_directories(root + dir);
    if (!write_package(root + "/rw/pckg/.download/bench.qpk")) return state.SkipWithError("no package");
    double quiet = 1e9, busy = 1e9, floor_quiet = 1e9, floor_busy = 1e9;
    for (auto _ : state) {
        for (int run = 0; run < 4; ++run) {
            const bool loaded = run % 2 == 1, installing = run < 2;
            state.PauseTiming();
            std::error_code ignored;
            for (const char* left : {"/flash/data", "/flash/var/pdb/bench", "/flash/PCKGS_CHANGED", "/flash/postlog"})
                fs::remove_all(root + left, ignored);
            for (int i = 0; i < 8; ++i) fs::remove(root + "/flash/floor-" + std::to_string(i), ignored);
            fs::remove(other, ignored);
            ::sync();
            if (loaded) leave_unwritten(other);
            state.ResumeTiming();
            const double took = installing ? install_seconds(root) : floor_seconds(root);
            if (took < 0) return state.SkipWithError("the installer failed");
            double& best = installing ? (loaded ? busy : quiet) : (loaded ? floor_busy : floor_quiet);
            best = std::min(best, took);
        }
    }
    std::error_code ignored;
    fs::remove_all(base, ignored);
    state.counters["quiet_ms"] = quiet * 1e3;
    state.counters["busy_ms"] = busy * 1e3;
    state.counters["ratio"] = busy / quiet;
    state.counters["floor_quiet_ms"] = floor_quiet * 1e3;
    state.counters["floor_busy_ms"] = floor_busy * 1e3;
    state.counters["floor_ratio"] = floor_busy / floor_quiet;
}
BENCHMARK(BM_InstallBesideUnwrittenData)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
