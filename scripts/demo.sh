#!/usr/bin/env bash
# The installer's main job on a demo router root (demo-root/ by default):
# builds the installer and qpk, makes a few signed packages and a bundle with
# the development key, and runs three upgrades on the root, showing after
# each what the installer said, the package table and what changed on flash:
#   1. a fresh install of everything waiting in the download directory;
#   2. a newer version of one package;
#   3. a disable that another system tool scheduled.
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
installer=$(pwd)/build/installer
qpk=$(pwd)/build/tools/qpk/qpk
key=$(pwd)/keys/development.private

rm -rf "$root"
mkdir -p "$root"/flash/boot "$root"/flash/var/pdb "$root"/ram "$root"/rw/pckg/.download "$root"/tmp
root=$(cd "$root" && pwd)
download=$root/rw/pckg/.download
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A small file tree for a package's file archive.
tree() {
  local dir=$work/tree-$1-$2
  mkdir -p "$dir/bin" "$dir/etc"
  printf '#!/bin/sh\necho %s %s\n' "$1" "$2" >"$dir/bin/$1"
  chmod 755 "$dir/bin/$1"
  printf 'name=%s\nversion=%s\n' "$1" "$2" >"$dir/etc/$1.conf"
  echo "$dir"
}
package() {  # name version [qpk build options...]
  local name=$1 version=$2
  shift 2
  "$qpk" build -o "$work/$name-$version.qpk" --name "$name" --version "$version" --build-time 1780000000 \
    --key "$key" "$@" "$(tree "$name" "$version")"
}

failed=0
run() {  # the installer on the demo root, its output shown and checked
  echo "\$ installer -r $root $*"
  local out status=0
  out=$("$installer" -r "$root" "$@" 2>&1) || status=$?
  # What the terminal shows: the status line is redrawn in place with
  # carriage returns, so only what stays on screen is printed.
  printf '%s\n' "$out" | sed 's/\x1b\[?25[lh]//g' | awk '{
      n = split($0, part, "\r"); shown = ""
      for (i = 1; i <= n; i++) shown = part[i] substr(shown, length(part[i]) + 1)
      sub(/ +$/, "", shown); if (shown != "") print "  " shown }'
  echo "  (exit status $status)"
  if [ "$status" -ne 0 ] || printf '%s\n' "$out" | grep -q 'ERROR: '; then failed=1; fi
}
flash() {  # the files on flash, outside the package database
  echo "\$ find /flash -type f -not -path '/flash/var/pdb/*'"
  (cd "$root" && find flash -type f -not -path 'flash/var/pdb/*' | sort | sed 's/^/  \//')
}
database() {
  echo "\$ ls /flash/var/pdb/*"
  (cd "$root/flash/var/pdb" && for d in *; do echo "  $d: $(ls "$d" | tr '\n' ' ')"; done)
}
# The router's download tool removes what it fetched once the installer ran;
# package files kept as package images have been moved into the store.
clear_downloads() { rm -f "$download"/*.qpk "$download"/*.vpk; }

echo "== 1. a fresh install: packages and a bundle in the download directory"
echo "base system" >"$work/system.image"
package system 6.48.1 --note "base system" --provides kernel:6.48 --image "$work/system.image"
package ntp 6.48.1 --note "time service" --depends system:6.48
package hello 1.0 --note "hello world" --depends kernel
package dhcp 6.48.1 --depends system:6.48
package ppp 6.48.1 --depends system:6.48
echo "velnor bundle" >"$work/velnor.image"
"$qpk" bundle -o "$work/velnor-6.48.1.vpk" --name velnor --version 6.48.1 --build-time 1780000000 \
  --note "dhcp and ppp" --image "$work/velnor.image" --disabled ppp --key "$key" \
  "$work/dhcp-6.48.1.qpk" "$work/ppp-6.48.1.qpk"
cp "$work/system-6.48.1.qpk" "$work/ntp-6.48.1.qpk" "$work/hello-1.0.qpk" "$work/velnor-6.48.1.vpk" "$download/"
ls "$download" | sed 's/^/  /'
run
clear_downloads
run --show
flash
database

echo
echo "== 2. an upgrade: ntp 6.48.2 replaces ntp 6.48.1"
package ntp 6.48.2 --note "time service, fixed"
cp "$work/ntp-6.48.2.qpk" "$download/"
run
clear_downloads
run --show
echo "\$ cat /flash/etc/ntp.conf"
sed 's/^/  /' "$root/flash/etc/ntp.conf"

echo
echo "== 3. a scheduled disable: another tool asks for hello to be disabled"
mkdir -p "$root/ram/pdb/hello"
echo disable >"$root/ram/pdb/hello/schedule"
echo "\$ cat /ram/pdb/hello/schedule"
echo "  disable"
run
rm -rf "$root/ram/pdb/hello"
run --show
database

if [ "$failed" -ne 0 ]; then
  echo "the demo saw an error" >&2
  exit 1
fi
echo
echo "== done: the demo root is $root"
