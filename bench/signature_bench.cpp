// Cost of the two signature checks on this machine. The Curve25519 check is
// meant to stay under a millisecond and to allocate nothing; the counter
// heap_allocs reports the allocations per check seen by operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "platform/eddsa.h"
#include "signing/key_file.h"
#include "signing/signer.h"
#include "verify/curve25519_check.h"
#include "verify/signature.h"

namespace {
std::atomic<long> allocations{0};
}

// Kept out of line: inlined into the same function, GCC takes malloc/free
// under replaced operators for a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct fixture {
    verify::public_keys keys{};
    std::uint8_t digest[32] = {};
    std::vector<std::uint8_t> signature;
    bool ok = false;

    fixture() {
        signing::private_keys priv;
        std::string error;
        if (!signing::read_private_key_file(std::string(SOURCE_DIR) + "/keys/development.private", priv, error) ||
            !signing::public_keys_of(priv, keys)) {
            std::fprintf(stderr, "signature_bench: %s\n", error.c_str());
            return;
        }
        for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(i * 31 + 7);
        ok = signing::sign_digest(priv, digest, 2, signature);
    }
};

const fixture& signed_digest() {
    static const fixture f;
    return f;
}

void BM_Curve25519Check(benchmark::State& state) {
    const fixture& f = signed_digest();
    if (!f.ok) {
        state.SkipWithError("no signature");
        return;
    }
    const long before = allocations.load();
    for (auto _ : state) {
        const bool valid = verify::curve25519_check(f.digest, f.signature.data() + 20, f.signature.data() + 36, f.keys);
        benchmark::DoNotOptimize(valid);
        if (!valid) state.SkipWithError("signature did not verify");
    }
    state.counters["heap_allocs"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Curve25519Check)->Unit(benchmark::kMicrosecond);

void BM_EddsaCheck(benchmark::State& state) {
    const fixture& f = signed_digest();
    if (!f.ok) {
        state.SkipWithError("no signature");
        return;
    }
    const asn1::blob key(f.keys.eddsa_public, 32);
    const asn1::blob message(f.digest, 32);
    const asn1::blob sig(f.signature.data() + 68, 64);
    for (auto _ : state) {
        const int valid = eddsa::verify(key, message, sig);
        benchmark::DoNotOptimize(valid);
        if (!valid) state.SkipWithError("signature did not verify");
    }
}
BENCHMARK(BM_EddsaCheck)->Unit(benchmark::kMicrosecond);

// The level of a 132-byte part whose EdDSA signature is broken: the worst
// case, both checks.
void BM_SignatureLevelBothChecks(benchmark::State& state) {
    const fixture& f = signed_digest();
    if (!f.ok) {
        state.SkipWithError("no signature");
        return;
    }
    std::vector<std::uint8_t> sig = f.signature;
    sig[100] ^= 1;
    for (auto _ : state) {
        const int level = verify::signature_level(f.digest, sig.data(), sig.size(), f.keys);
        benchmark::DoNotOptimize(level);
        if (level != 1) state.SkipWithError("unexpected level");
    }
}
BENCHMARK(BM_SignatureLevelBothChecks)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
