#!/usr/bin/env bash
# Builds the installer and runs the whole suite twice: a normal build with
# warnings as errors, then a build under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs the Debian packages it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
# groff-base renders the manual pages, which a test checks for warnings.
# dpkg-query rather than "dpkg -s": with the 32-bit libraries beside the native
# ones, a bare name stands for two packages and "dpkg -s" refuses it.
for pkg in zlib1g-dev libssl-dev libgtest-dev googletest libbenchmark-dev groff-base; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'ok installed' || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends g++ cmake make "${need[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  echo "== configure $dir $*"
  cmake -S . -B "$dir" -DINSTALLER_WERROR=ON "$@"
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

# cmake --install lays out the programs and the manual pages under a prefix.
check_install() {
  local prefix
  prefix=$(mktemp -d)
  cmake --install "$1" --prefix "$prefix" >/dev/null
  for file in sbin/installer bin/qpk share/man/man8/installer.8; do
    [ -e "$prefix/$file" ] || { echo "cmake --install left out $file" >&2; rm -rf "$prefix"; return 1; }
  done
  rm -rf "$prefix"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
check_install build
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_SANITIZE=ON -DINSTALLER_BENCH=OFF
echo "== all tests passed (normal and sanitizer builds)"
