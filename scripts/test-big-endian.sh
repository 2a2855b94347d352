#!/usr/bin/env bash
# Runs the whole suite on a big-endian CPU: cross-builds the installer, qpk
# and the tests for s390x, statically linked, and runs them under qemu
# user-mode emulation. The router is big-endian while package files are
# little-endian, so this run catches byte-order and width faults that the
# native suites cannot see.
#
# Installs what it needs (cross compiler, qemu, mmdebstrap) when missing. The
# target's libraries (zlib, OpenSSL, GoogleTest) are laid out once with
# mmdebstrap, from this machine's own apt sources, in a cache folder outside the
# checkout and reused by later runs:
# INSTALLER_S390X_CACHE, default /var/cache/installer/s390x-bookworm.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake make)
command -v s390x-linux-gnu-g++ >/dev/null 2>&1 || need+=(crossbuild-essential-s390x)
command -v qemu-s390x >/dev/null 2>&1 || command -v qemu-s390x-static >/dev/null 2>&1 || need+=(qemu-user)
command -v mmdebstrap >/dev/null 2>&1 || need+=(mmdebstrap)
if [ "${#need[@]}" -gt 0 ]; then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${need[@]}"
  echo "== installed in $((SECONDS - started)) s"
fi

# The tree counts as complete only with the stamp that names what it holds;
# it is laid out beside the cache and moved into place whole, so a stopped run
# never leaves a half tree that a later run would take.
tree=${INSTALLER_S390X_CACHE:-/var/cache/installer/s390x-bookworm}
contents="bookworm s390x zlib1g-dev,libssl-dev,libgtest-dev"
if [ "$(cat "$tree/.complete" 2>/dev/null)" != "$contents" ]; then
  step=$SECONDS
  echo "== laying out the s390x tree in $tree"
  mkdir -p "$(dirname "$tree")"
  rm -rf "$tree" "$tree.new"
  # The package sources are this machine's own apt sources, so that the run
  # follows whatever mirror the machine uses: each source file goes to
  # mmdebstrap as it is (one-line .list files and deb822 .sources files).
  list=/etc/apt/sources.list parts=/etc/apt/sources.list.d/
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  sources=()
  for file in "$list" "$parts"*.list "$parts"*.sources; do
    if [ -s "$file" ]; then sources+=("$file"); fi
  done
  if [ "${#sources[@]}" -eq 0 ]; then
    echo "no apt sources on this machine ($list, $parts): nothing to lay out the s390x tree from" >&2
    exit 1
  fi
  echo "== package sources: ${sources[*]}"
  mmdebstrap --arch=s390x --variant=extract --include=zlib1g-dev,libssl-dev,libgtest-dev \
    bookworm "$tree.new" "${sources[@]}" </dev/null
  echo "$contents" >"$tree.new/.complete"
  mv "$tree.new" "$tree"
  echo "== tree laid out in $((SECONDS - step)) s"
else
  echo "== reusing the s390x tree in $tree"
fi

jobs=$(nproc 2>/dev/null || echo 2)
dir=build-s390x
step=$SECONDS
echo "== configure $dir"
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/s390x-toolchain.cmake" -DS390X_TREE="$tree" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DINSTALLER_WERROR=ON -DINSTALLER_BENCH=OFF
echo "== build $dir"
cmake --build "$dir" -j "$jobs"
echo "== built in $((SECONDS - step)) s"
step=$SECONDS
echo "== test $dir (s390x, under $(grep -m1 '^S390X_EMULATOR:' "$dir/CMakeCache.txt" | cut -d= -f2))"
(cd "$dir" && ctest --output-on-failure -j "$jobs")
echo "== tests ran in $((SECONDS - step)) s; the big-endian step took $((SECONDS - started)) s"
