#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every one of them, printing the
# figures. Extra arguments go to each benchmark binary (for instance
# --benchmark_filter=Curve).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF -DINSTALLER_BENCH=ON -DINSTALLER_STATIC=ON >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"

found=0
for bin in "$dir"/bench/*_bench; do
  [ -x "$bin" ] || continue
  found=1
  echo "== $(basename "$bin")"
  "$bin" "$@"
done
if [ "$found" -eq 0 ]; then
  echo "no benchmarks were built (is Google Benchmark installed? libbenchmark-dev)" >&2
  exit 1
fi
