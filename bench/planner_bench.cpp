// apply_actions over 1,000 generated records with dependencies, provisions,
// conflicts, bundles, disabled packages and scheduled actions. The records
// exist only in memory; what the plan stages goes into a manifest that is
// cancelled, never applied. Staging still creates temporary files, so the
// benchmarks run in a scratch root.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "resolve/action_planner.h"
#include "scratch_root.h"
#include "resolve/version.h"

namespace {

constexpr int record_count = 1000;

// Appending keeps g++ 12 at -O3 from a false -Wrestrict warning about
// "literal" + std::string.
std::string numbered(const char* prefix, int number) {
    std::string text = prefix;
    text += std::to_string(number);
    return text;
}

// Every record of a fresh run: bundles of four members each, chains of
// dependencies (by name and by provided name) that uninstalls and disables
// break, a few dependencies nothing provides, conflicts between enabled
// packages and with packages being enabled.
std::vector<std::unique_ptr<package_record>> generate_records() {
    std::mt19937 random(12);
    std::vector<std::unique_ptr<package_record>> records;
    std::string bundle;
    int members_left = 0;
    for (int i = 0; i < record_count; ++i) {
        auto record = new_package_record(numbered("p", i));
        record->version = make_version(1, static_cast<unsigned>(i % 200), 'f', 0);
        record->build_time = 1700000000;
        record->files.insert(numbered("/bin/p", i));
        if (members_left > 0) {
            record->bundle_reference = {bundle, 0, 0, 0};
            --members_left;
        } else if (i % 50 == 0) {
            // The members follow their bundle here; in a loaded list they
            // come first. Either order is a valid list to plan.
            record->bundle = true;
            record->files.clear();
            bundle = record->name;
            members_left = 4;
        }
        if (i % 7 == 0) record->provisions.push_back({numbered("svc", i % 30), 0, 0, 0});
        for (unsigned k = random() % 4; k > 0 && i > 0; --k) {
            int target = static_cast<int>(random() % static_cast<unsigned>(i));
            std::string name = random() % 5 == 0 ? numbered("svc", target % 30) : numbered("p", target);
            record->dependencies.push_back({name, 0, 0, 0});
        }
        if (i % 97 == 0) record->dependencies.push_back({"missing", 0, 0, 0});
        if (i % 13 == 0)
            record->conflicts.push_back({numbered("p", static_cast<int>(random() % record_count)), 0, 0, 0});
        record->disabled = random() % 5 == 0;
        switch (random() % 12) {
        case 0: record->scheduled_action = action_uninstall; break;
        case 1: record->scheduled_action = action_disable; break;
        case 2: record->scheduled_action = action_enable; break;
        default: break;
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::unique_ptr<package_record> copy_of(const package_record& record) {
    auto copy = std::make_unique<package_record>();
    copy->name = record.name;
    copy->version = record.version;
    copy->build_time = record.build_time;
    copy->dependencies = record.dependencies;
    copy->provisions = record.provisions;
    copy->conflicts = record.conflicts;
    copy->bundle = record.bundle;
    copy->files = record.files;
    copy->bundle_reference = record.bundle_reference;
    copy->disabled = record.disabled;
    copy->scheduled_action = record.scheduled_action;
    return copy;
}

// Times step alone over a fresh copy of the records in every iteration.
template <typename Step>
void over_fresh_records(benchmark::State& state, Step step) {
    static const std::vector<std::unique_ptr<package_record>> records = generate_records();
    std::size_t left = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto ctx = std::make_unique<installer_context>();
        ctx->quiet = true;
        for (const auto& record : records) ctx->packages.add(copy_of(*record));
        file_manifest manifest;
        state.ResumeTiming();
        benchmark::DoNotOptimize(step(*ctx, manifest));
        state.PauseTiming();
        cancel_manifest(manifest);
        left = ctx->packages.size();
        ctx.reset();
        state.ResumeTiming();
    }
    state.counters["records_left"] = static_cast<double>(left);
}

// The whole of it: planning, then staging the uninstalls, disables and enables.
void BM_ApplyActions(benchmark::State& state) {
    over_fresh_records(state, [](installer_context& ctx, file_manifest& manifest) {
        return apply_actions(ctx, manifest, planner_verbosity::quiet);
    });
}
BENCHMARK(BM_ApplyActions)->Unit(benchmark::kMillisecond);

// The planning alone, without the file work of staging.
void BM_PlanActions(benchmark::State& state) {
    over_fresh_records(state, [](installer_context& ctx, file_manifest&) {
        record_list removal;
        record_list enable;
        return plan_actions(ctx, removal, enable, false);
    });
}
BENCHMARK(BM_PlanActions)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_in_scratch_root(argc, argv, {"/flash", "/flash/var", "/flash/var/pdb", "/ram", "/tmp"});
}
