#!/usr/bin/env bash
# Builds the installer and runs it on a demo router root laid out in a folder
# (demo-root/ by default): the real program, on a root that is not this
# machine's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-demo-root}

if ! command -v cmake >/dev/null 2>&1 || ! dpkg -s zlib1g-dev libssl-dev >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends g++ cmake make zlib1g-dev libssl-dev libgtest-dev googletest libbenchmark-dev
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target installer

rm -rf "$root"
mkdir -p "$root"/flash/boot "$root"/flash/var/pdb "$root"/ram "$root"/rw/pckg "$root"/tmp
root=$(cd "$root" && pwd)

echo "== installer -r $root (upgrade run, nothing to install)"
./build/installer -r "$root"
echo "exit status $?"
echo "== installer -r $root --show"
./build/installer -r "$root" --show
