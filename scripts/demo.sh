#!/usr/bin/env bash
# Builds the installer and the qpk tool, lays out a demo router root in a
# folder (demo-root/ by default) whose package database holds a few packages
# made with qpk, and runs the real program on it: the listing, then an
# upgrade run with a package waiting in the download directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-demo-root}

if ! command -v cmake >/dev/null 2>&1 || ! command -v g++ >/dev/null 2>&1 ||
   ! dpkg -s zlib1g-dev libssl-dev libgtest-dev >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends g++ cmake make zlib1g-dev libssl-dev libgtest-dev googletest libbenchmark-dev
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target installer qpk
qpk=./build/tools/qpk/qpk
[ -x "$qpk" ] || qpk=$(find build -type f -name qpk -perm -u+x | head -n 1)

rm -rf "$root"
mkdir -p "$root"/flash/boot "$root"/flash/var/pdb "$root"/ram "$root"/rw/pckg/.download "$root"/tmp
root=$(cd "$root" && pwd)
pdb=$root/flash/var/pdb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A small file tree for each package's file archive.
tree() {
  mkdir -p "$work/$1/bin" "$work/$1/etc"
  printf '#!/bin/sh\necho %s\n' "$1" >"$work/$1/bin/$1"
  chmod 755 "$work/$1/bin/$1"
  printf 'name=%s\n' "$1" >"$work/$1/etc/$1.conf"
  echo "$work/$1"
}

echo "== making packages with qpk"
"$qpk" build -o "$work/system.qpk" --name system --version 6.40.1 --build-time 1500000000 \
  --note "base system" --provides kernel:6.40 "$(tree system)"
"$qpk" build -o "$work/wireless.qpk" --name wireless --version 6.41rc2 --build-time 1700000000 \
  --note "wireless drivers" --depends system:6.40 "$(tree wireless)"
"$qpk" build -o "$work/dhcp.qpk" --name dhcp --version 6.40 --build-time 1600000001 \
  --note "dhcp server" --depends system:6.40 "$(tree dhcp)"
"$qpk" build -o "$work/ppp.qpk" --name ppp --version 6.40 --build-time 0 "$(tree ppp)"
"$qpk" bundle -o "$work/velnor.qpk" --name velnor --version 6.40 --build-time 1600000000 \
  --note "all in one" "$work/dhcp.qpk" "$work/ppp.qpk"
"$qpk" build -o "$work/ntp.qpk" --name ntp --version 6.41 --build-time 1710000000 \
  --note "time service" "$(tree ntp)"

echo "== laying out the package database in $root"
# Package images: the package file kept whole in its record directory.
for name in system wireless velnor; do
  mkdir -p "$pdb/$name"
  cp "$work/$name.qpk" "$pdb/$name/image"
done
# The operator disabled wireless; ppp (from the bundle) was disabled automatically.
echo user >"$pdb/wireless/disabled"
mkdir -p "$pdb/ppp"
echo auto >"$pdb/ppp/disabled"
# A package without an image, described by its meta files as the database
# writes them: version number and build time, requirements, file list.
version() { echo $(( ($1 << 24) | ($2 << 16) | ($(printf '%d' "'$3") << 8) | $4 )); }
mkdir -p "$pdb/oldpkg"
echo "$(version 6 39 f 2) 1400000000" >"$pdb/oldpkg/version"
echo "system $(version 6 0 f 0) 0" >"$pdb/oldpkg/deps"
printf 'bin/oldpkg\netc/oldpkg.conf\n' >"$pdb/oldpkg/files"
mkdir -p "$root/flash/bin" "$root/flash/etc"
echo old >"$root/flash/bin/oldpkg"
echo old >"$root/flash/etc/oldpkg.conf"
# A package file waiting in the download directory.
cp "$work/ntp.qpk" "$root/rw/pckg/.download/ntp-6.41.qpk"

echo "== installer -r $root --show"
./build/installer -r "$root" --show

echo "== installer -r $root (upgrade run)"
status=0
./build/installer -r "$root" || status=$?
echo "exit status $status"
echo "== left in $root/rw/pckg/.download/"
ls -l "$root/rw/pckg/.download/"
echo "== installer -r $root --show"
./build/installer -r "$root" --show
