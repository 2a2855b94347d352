// Cost of the signature checks on this machine: the Curve25519 check alone
// (meant to stay under a millisecond and to allocate nothing), the EdDSA
// check alone, both through the level function, and the whole check on the
// package stream at a signature part. The counter heap_allocs reports the
// heap allocations per check: every malloc, calloc and realloc of the
// process is counted, so those made inside OpenSSL show as well as those of
// operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "platform/eddsa.h"
#include "qpk/writer.h"
#include "signing/key_file.h"
#include "signing/signer.h"
#include "stream/package_istream.h"
#include "verify/curve25519_check.h"
#include "verify/signature.h"

namespace {
std::atomic<long> allocations{0};
}

// The C library's allocator under counting wrappers (glibc keeps it callable
// under these names). operator new and OpenSSL both end up here.
extern "C" {
void* __libc_malloc(std::size_t n);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t n);
void __libc_free(void* p);

void* malloc(std::size_t n) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void* p) noexcept { __libc_free(p); }
}

namespace {

struct fixture {
    signing::private_keys priv{};
    verify::public_keys keys{};
    std::uint8_t digest[32] = {};
    std::vector<std::uint8_t> signature;
    bool ok = false;

    fixture() {
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
    const long before = allocations.load();
    for (auto _ : state) {
        const int valid = eddsa::verify(key, message, sig);
        benchmark::DoNotOptimize(valid);
        if (!valid) state.SkipWithError("signature did not verify");
    }
    state.counters["heap_allocs"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
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

// A read-only stream buffer over bytes in memory, so that the package stream
// reads without a file and without copies.
class memory_buffer : public std::streambuf {
public:
    explicit memory_buffer(const std::string& bytes) {
        char* start = const_cast<char*>(bytes.data());
        setg(start, start, start + bytes.size());
    }
};

// A small package signed with the development pair; a 132-byte signature
// part holds both signatures, a 68-byte one the Curve25519 signature alone.
std::string signed_package(const fixture& f, std::uint32_t signature_length, bool break_eddsa) {
    qpk::package_contents contents;
    contents.name = "bench";
    contents.version = 0x01006600;
    contents.note = "a package to check";
    contents.files = std::vector<qpk::file_item>{qpk::regular_file("bin/tool", std::string(4096, 'x'))};
    contents.signature_length = signature_length;
    const int level = signature_length >= 132 ? 2 : 1;
    std::string out = qpk::build_package(contents, [&](const qpk::digest_buffer& digest, std::size_t length) {
        std::vector<std::uint8_t> signature;
        if (!signing::sign_digest(f.priv, digest.data(), level, signature)) return std::string();
        if (break_eddsa && level == 2) signature[100] ^= 1;
        std::string data(length, '\0');
        std::copy(signature.begin(), signature.end(), data.begin());
        return data;
    });
    return out;
}

// verify_signature at the signature part of a package read from memory: the
// running hash finished, the signature bytes read past the hash, and the
// checks. Opening the stream and reaching the part are not timed.
void verify_whole(benchmark::State& state, std::uint32_t signature_length, bool break_eddsa, int expected) {
    const fixture& f = signed_digest();
    const std::string package = f.ok ? signed_package(f, signature_length, break_eddsa) : std::string();
    if (package.empty()) {
        state.SkipWithError("no signed package");
        return;
    }
    long counted = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto buffer = std::make_unique<memory_buffer>(package);
        auto source = std::make_unique<std::istream>(buffer.get());
        auto in = std::make_unique<package_istream>(*source, true);
        in->wanted_types = {9};
        const bool at_signature = in->next_part() == 9;
        state.ResumeTiming();

        const long before = allocations.load(std::memory_order_relaxed);
        const int level = in->verify_signature(f.keys);
        counted += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(level);

        state.PauseTiming();
        in.reset();
        source.reset();
        buffer.reset();
        if (!at_signature || level != expected) state.SkipWithError("unexpected level");
        state.ResumeTiming();
    }
    state.counters["heap_allocs"] =
        benchmark::Counter(static_cast<double>(counted), benchmark::Counter::kAvgIterations);
}

// Level 2: the EdDSA signature holds.
void BM_VerifySignatureLevel2(benchmark::State& state) { verify_whole(state, 132, false, 2); }
BENCHMARK(BM_VerifySignatureLevel2)->Unit(benchmark::kMicrosecond);

// Level 1 from a 68-byte part: the Curve25519 check alone.
void BM_VerifySignatureLevel1(benchmark::State& state) { verify_whole(state, 68, false, 1); }
BENCHMARK(BM_VerifySignatureLevel1)->Unit(benchmark::kMicrosecond);

// The worst case: a broken EdDSA signature, then the Curve25519 check.
void BM_VerifySignatureBothChecks(benchmark::State& state) { verify_whole(state, 132, true, 1); }
BENCHMARK(BM_VerifySignatureBothChecks)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
