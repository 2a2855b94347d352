// Installing a package into a temporary root on tmpfs, against the floor of
// the same work done directly: the package file hashed with SHA-1, its file
// archive inflated with zlib and the files written, in one process with
// large buffers. Each run happens in a forked child that changes root, so the
// installer's absolute paths land in the temporary root and the child's peak
// resident memory (ru_maxrss) belongs to that run alone; the package files
// are made by another child, so the parent never holds them.
//
// The same through the real program: an upgrade run that finds the package in
// the download directory (binary_ms, its ratio to the floor, and its peak_kib).
//
// The installation measured includes what audits need: the CRC-32 of each
// file, computed from the bytes as they are written, and the list of them in
// the record directory. The floor has neither.
//
// Counters: install_ms and floor_ms, the CPU time (user and system) of the
// fastest of the runs, and ratio = install / floor
// (target: at most 1.25); peak_kib, the child's ru_maxrss, which counts the
// resident pages of the shared libraries' code as well; anon_kib, the
// child's anonymous resident memory after the run, and anon_growth_kib, what
// the run added to it (the same for both package sizes when nothing of a
// package is held in memory).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_package.h"
#include "console/context.h"
#include "bench_files.h"
#include "floor.h"
#include "manifest/manifest.h"
#include "qpk/writer.h"
#include "signing/key_file.h"
#include "signing/signer.h"
#include "store/installing.h"
#include "store/package_format.h"
#include "stream/little_endian.h"
#include "stream/package_istream.h"

namespace {

namespace fs = std::filesystem;

// What a forked child reports back.
struct child_report {
    double seconds = 0;
    long peak_kib = 0;        // ru_maxrss: every resident page, library code included
    long anon_start_kib = 0;  // anonymous resident memory (heap, stack, data)
    long anon_end_kib = 0;
    bool ok = false;
};

// A "Name:   N kB" field of /proc/self/status, read through an open file.
long status_kib(int fd, const char* name) {
    char text[4096];
    ssize_t n = fd < 0 ? -1 : ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return -1;
    text[n] = '\0';
    const char* field = std::strstr(text, name);
    return field ? std::atol(field + std::strlen(name) + 1) : -1;
}

// Runs body in a forked child chrooted into root; body fills the report.
child_report in_child(const std::string& root, const std::function<void(child_report&)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        child_report report;
        // Opened before the change of root, which has no /proc.
        int status = ::open("/proc/self/status", O_RDONLY);
        report.anon_start_kib = status_kib(status, "RssAnon:");
        if (root.empty() || (::chroot(root.c_str()) == 0 && ::chdir("/") == 0)) body(report);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        report.peak_kib = usage.ru_maxrss;
        report.anon_end_kib = status_kib(status, "RssAnon:");
        ssize_t written = ::write(fds[1], &report, sizeof report);
        ::_exit(written == sizeof report ? 0 : 1);
    }
    ::close(fds[1]);
    child_report report;
    if (pid < 0 || ::read(fds[0], &report, sizeof report) != sizeof report) report = {};
    ::close(fds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return report;
}

// CPU time of this process, user and system: the machine's other work
// cannot stretch it the way it stretches wall time.
double cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Writes the signed package of the given total file size to path.
bool make_package(const std::string& path, std::size_t total) { return write_bench_package(path, bench_files(total)); }

// A temporary router root on tmpfs holding the two package files.
struct bench_root {
    std::string path;
    bool ok = false;

    bench_root() {
        char pattern[] = "/dev/shm/installer-bench-XXXXXX";
        char fallback[] = "/tmp/installer-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made) made = ::mkdtemp(fallback);
        if (!made) return;
        path = made;
        for (const char* dir : {"/flash/boot", "/flash/var/pdb", "/ram", "/tmp"}) fs::create_directories(path + dir);
        ok = in_child("", [&](child_report& report) {
                 report.ok = make_package(path + "/pkg-1.qpk", 1 << 20) && make_package(path + "/pkg-64.qpk", 64 << 20);
             }).ok;
    }
    ~bench_root() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }

    // What a run left behind, so that the next one starts alike.
    void clean() const {
        std::error_code ignored;
        for (const char* dir :
             {"/flash/data", "/flash/var/pdb/bench", "/floor", "/flash/postlog", "/flash/PCKGS_CHANGED"})
            fs::remove_all(path + dir, ignored);
    }
};

const bench_root& root() {
    static const bench_root r;
    return r;
}

std::string package_path(int mib) { return "/pkg-" + std::to_string(mib) + ".qpk"; }

// The installer's own path: install_package with its progress line drawn,
// then the manifest applied (renames and the sync before them).
void install_run(const std::string& package, child_report& report, bool with_apply) {
    installer_context ctx;
    ctx.out = std::fopen("/dev/null", "w");
    if (!ctx.out) ctx.out = std::tmpfile();
    const double start = cpu_seconds();
    std::ifstream file(package, std::ios::binary);
    package_istream stream(file, true);
    add_wanted_types(stream, install_wanted_types);
    stream.next_part();
    package_record record;
    file_manifest manifest;
    report.ok = read_description(record, stream) && install_package(ctx, record, manifest, stream);
    report.seconds = cpu_seconds() - start;
    if (with_apply) apply_manifest(manifest, false);
}

// The floor: the same file hashed, its archive inflated and its files
// written, with nothing between the libraries and the system calls.
void floor_run(const std::string& package, child_report& report) {
    const double start = cpu_seconds();
    report.ok = install_floor(package.c_str(), "/floor/");
    report.seconds = cpu_seconds() - start;
}

// Runs the floor and the measured run by turns on a clean root, and reports
// the fastest of each (what the work costs when nothing else on the machine
// gets in the way, which other processes can only slow down) as <name>_ms,
// floor_ms and their ratio, and the measured run's largest peak_kib.
void against_floor(benchmark::State& state, const std::string& name,
                   const std::function<child_report(const std::string& package)>& measured, bool with_peak) {
    const bench_root& r = root();
    if (!r.ok) {
        state.SkipWithError("no temporary root or package");
        return;
    }
    const std::string package = package_path(static_cast<int>(state.range(0)));
    double best = 1e9, floor_best = 1e9;
    long peak = 0;
    for (auto _ : state) {
        r.clean();
        child_report floor = in_child(r.path, [&](child_report& report) { floor_run(package, report); });
        r.clean();
        child_report run = measured(package);
        if (!floor.ok || !run.ok) {
            state.SkipWithError("a run failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        best = std::min(best, run.seconds);
        floor_best = std::min(floor_best, floor.seconds);
        peak = std::max(peak, run.peak_kib);
    }
    r.clean();
    state.counters[name + "_ms"] = best * 1e3;
    state.counters["floor_ms"] = floor_best * 1e3;
    state.counters["ratio"] = best / floor_best;
    if (with_peak) state.counters["peak_kib"] = static_cast<double>(peak);
}

void BM_InstallAgainstFloor(benchmark::State& state) {
    against_floor(
        state, "install",
        [](const std::string& package) {
            return in_child(root().path, [&](child_report& report) { install_run(package, report, false); });
        },
        false);
}
BENCHMARK(BM_InstallAgainstFloor)->Arg(64)->Arg(1)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

void BM_InstallPeakMemory(benchmark::State& state) {
    const bench_root& r = root();
    if (!r.ok) {
        state.SkipWithError("no temporary root or package");
        return;
    }
    const std::string package = package_path(static_cast<int>(state.range(0)));
    child_report install;
    for (auto _ : state) {
        r.clean();
        install = in_child(r.path, [&](child_report& report) { install_run(package, report, true); });
        if (!install.ok) {
            state.SkipWithError("the installation failed");
            return;
        }
        state.SetIterationTime(install.seconds);
    }
    r.clean();
    state.counters["peak_kib"] = static_cast<double>(install.peak_kib);
    state.counters["anon_kib"] = static_cast<double>(install.anon_end_kib);
    state.counters["anon_growth_kib"] = static_cast<double>(install.anon_end_kib - install.anon_start_kib);
}
BENCHMARK(BM_InstallPeakMemory)->Arg(1)->Arg(64)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The real program's main job on the same package: an upgrade run
// ("installer -r ROOT") that finds it in the download directory, reads its
// description, installs it and applies the manifest, in a process of its
// own. Its CPU time and peak resident memory come from wait4.
child_report binary_run(const std::string& root, const std::string& package) {
    child_report report;
    const std::string offered = root + "/rw/pckg/.download/bench.qpk";
    std::error_code ignored;
    fs::create_directories(root + "/rw/pckg/.download", ignored);
    if (::link((root + package).c_str(), offered.c_str()) != 0) return report;
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(INSTALLER_BIN, INSTALLER_BIN, "-r", root.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        report.seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        report.peak_kib = usage.ru_maxrss;
        report.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && fs::exists(root + "/flash/var/pdb/bench");
    }
    ::unlink(offered.c_str());
    return report;
}

void BM_UpgradeRunAgainstFloor(benchmark::State& state) {
    against_floor(
        state, "binary", [](const std::string& package) { return binary_run(root().path, package); }, true);
}
BENCHMARK(BM_UpgradeRunAgainstFloor)->Arg(64)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
