#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), writes their seed corpora with the package
# writer, and runs each target for a while.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# Targets: package_reader_fuzz, manifest_loader_fuzz (default: both). The
# corpus grows in build-fuzz/corpus/<target>/ from run to run; findings
# (crash-*, leak-*, timeout-*, oom-*) land in build-fuzz/findings/<target>/,
# and the script then exits with status 1. Replay one with
#   build-fuzz/fuzz/<target> <finding file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ "$#" -gt 0 ] && shift
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(package_reader_fuzz manifest_loader_fuzz)

command -v clang++ >/dev/null 2>&1 || { echo "fuzz.sh needs clang++ (with libFuzzer)" >&2; exit 2; }

dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DINSTALLER_FUZZ=ON -DINSTALLER_SANITIZE=ON -DINSTALLER_TESTS=OFF -DINSTALLER_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_seeds "${targets[@]}"

seeds=$dir/seeds
rm -rf "$seeds"
mkdir -p "$seeds/package_reader_fuzz" "$seeds/manifest_loader_fuzz"
"$dir/fuzz/fuzz_seeds" "$seeds/package_reader_fuzz" "$seeds/manifest_loader_fuzz"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  corpus=$dir/corpus/$target
  findings=$dir/findings/$target
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  echo "== $target for ${seconds}s"
  # -malloc_limit_mb well below -rss_limit_mb: a single allocation that a
  # length field alone decides shows up as a finding even when it would fit.
  if ! "$dir/fuzz/$target" "$corpus" "$seeds/$target" "${dict[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=128 -max_len=16384 \
      -artifact_prefix="$findings/" -print_final_stats=1; then
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "== findings in: ${failed[*]} (see $dir/findings/)" >&2
  exit 1
fi
echo "== no findings"
