#!/usr/bin/env bash
# Runs the whole suite as a 32-bit program: builds the installer, qpk and the
# tests for 32-bit x86 (cmake/i386-toolchain.cmake) and runs them natively.
# The router runs the installer as a 32-bit program, so this run catches
# sizes, offsets and shifts that only hold in a 64-bit type.
#
# Installs what it needs when missing: the i386 architecture is added to the
# package manager, then the i686 cross compiler (it goes together with the
# s390x one of the big-endian run, where g++-multilib would remove that), the
# i386 C++ runtime and the i386 development packages of zlib, OpenSSL and
# GoogleTest come from the machine's own package sources.
# A normal build (no sanitizers), without the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake make)
for pkg in g++-i686-linux-gnu libstdc++6:i386 zlib1g-dev:i386 libssl-dev:i386 libgtest-dev:i386; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update
  apt-get install -y --no-install-recommends "${need[@]}"
  echo "== installed in $((SECONDS - started)) s"
fi

jobs=$(nproc 2>/dev/null || echo 2)
dir=build-32
step=$SECONDS
echo "== configure $dir"
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386-toolchain.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DINSTALLER_WERROR=ON -DINSTALLER_BENCH=OFF
echo "== build $dir"
cmake --build "$dir" -j "$jobs"
echo "== built in $((SECONDS - step)) s"
step=$SECONDS
echo "== test $dir (32-bit)"
(cd "$dir" && ctest --output-on-failure -j "$jobs")
echo "== tests ran in $((SECONDS - step)) s; the 32-bit step took $((SECONDS - started)) s"
