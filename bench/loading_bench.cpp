// Loading the package database at start-up with many record directories.
// The time per record must stay flat as the database grows: looking each
// directory entry up in the whole list of records loaded so far made
// loading grow with the square of the database. The benchmark lays out, in
// a scratch root, record directories holding a `version` file, more of them
// for each size.
// per_record is the time of one record.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "console/context.h"
#include "scratch_root.h"
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
    return run_benchmarks_in_scratch_root(argc, argv,
                                          {"/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw", "/rw/pckg"});
}
