// Loading the package database at start-up with many record directories.
// The time per record must stay flat as the database grows: looking each
// directory entry up in the whole list of records loaded so far made
// loading grow with the square of the database. The benchmark changes root
// into a scratch directory of its own (it must run as root) and lays out
// record directories holding a `version` file, more of them for each size.
// per_record is the time of one record.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/context.h"
#include "store/repository.h"

namespace {

std::size_t records_laid = 0;

// More record directories, up to n.
void grow_to(std::size_t n) {
    for (; records_laid < n; ++records_laid) {
        const std::string dir = "/flash/var/pdb/p" + std::to_string(records_laid);
        ::mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/version") << "7 0\n";
    }
}

// Runs the benchmarks in a child that changes root into dir, on a tmpfs of
// its own where mounting is allowed (laying out 100,000 directories on disk
// takes minutes); what the child made goes with its mount, or stays in dir
// for the parent to remove.
int run_in_scratch_root(const std::string& dir, int argc, char** argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        bool mounted = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1g") == 0;
        if (!mounted) std::fprintf(stderr, "no tmpfs for the scratch root; laying out on disk\n");
        if (::chroot(dir.c_str()) != 0 || ::chdir("/") != 0) {
            std::perror("chroot (the benchmark must run as root)");
            ::_exit(1);
        }
        for (const char* d : {"/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw", "/rw/pckg"}) ::mkdir(d, 0755);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 1;
    if (pid > 0) ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

static void BM_LoadRepository(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    grow_to(n);
    for (auto _ : state) {
        installer_context ctx;
        load_repository(ctx, true, "i386");
        if (ctx.packages.size() != n) state.SkipWithError("not every record was loaded");
    }
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoadRepository)->Arg(12500)->Arg(25000)->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    char pattern[] = "/tmp/loading-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = run_in_scratch_root(pattern, argc, argv);
    std::filesystem::remove_all(pattern);
    return status;
}
