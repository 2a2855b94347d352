#!/usr/bin/env bash
# The installer's main job on a demo router root (demo-root/ by default), for
# someone who has never seen it. Builds the installer and qpk (the output goes
# to a log file, shown only when the build fails), makes signed packages and a
# bundle with the development key, printing every qpk command it runs, and
# runs the installer on the root, showing after each step what it said, the
# package table and what changed on flash:
#   1. a fresh install of everything waiting in the download directory;
#   2. a newer version of one package;
#   3. a disable that another system tool scheduled;
#   4. a package installed from standard input;
#   5. a package signed with a key the router does not trust, refused;
#   6. an upgrade staged with --safe, then applied with --commit;
#   7. an uninstall that another system tool scheduled.
# Run it as root: the installer changes root into the demo root (-r).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
root=${1:-demo-root}
marker=.installer-demo-root  # what makes a directory a demo root this script may delete

if [ "$(id -u)" -ne 0 ]; then
  echo "the demo runs the installer with -r, which changes root: run it as root" >&2
  exit 1
fi
if [ -e "$root" ] && [ ! -e "$root/$marker" ] && { [ ! -d "$root" ] || [ -n "$(ls -A "$root")" ]; }; then
  echo "refusing to delete $root: it is not a demo root (it has no $marker)" >&2
  exit 1
fi

mkdir -p build
log=$repo/build/demo-build.log
echo "== building the installer and qpk (output in build/demo-build.log)"
# dpkg-query rather than "dpkg -s", which refuses a name installed for two architectures.
missing_libraries() {
  local pkg
  for pkg in zlib1g-dev libssl-dev libgtest-dev; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'ok installed' || return 0
  done
  return 1
}
build() {
  if ! command -v cmake >/dev/null 2>&1 || ! command -v g++ >/dev/null 2>&1 || missing_libraries; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update && apt-get install -y --no-install-recommends g++ cmake make zlib1g-dev libssl-dev libgtest-dev \
      googletest libbenchmark-dev || return 1
  fi
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target installer qpk
}
if ! build >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed; its output is above and in $log" >&2
  exit 1
fi
installer=$repo/build/installer
qpk_program=$repo/build/tools/qpk/qpk
key=$repo/keys/development.private

rm -rf "$root"
mkdir -p "$root"/flash/boot "$root"/flash/var/pdb "$root"/ram "$root"/rw/pckg/.download "$root"/tmp
touch "$root/$marker"
root=$(cd "$root" && pwd)
download=$root/rw/pckg/.download
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Paths as a user would read them: work/ is a scratch directory, keys/ the
# repository's.
shorten() { sed "s|$work/|work/|g; s|$repo/||g"; }
# A command line as a user would type it: words with blanks quoted.
typed() {
  local word line=\$
  for word in "$@"; do
    case $word in *[[:space:]]*) line+=" '$word'" ;; *) line+=" $word" ;; esac
  done
  echo "$line" | shorten
}
# qpk, printed before it runs, its output indented.
qpk() {
  typed qpk "$@"
  "$qpk_program" "$@" 2>&1 | shorten | sed 's/^/  /'
  return "${PIPESTATUS[0]}"
}
# A small file tree for a package's file archive.
make_tree() {
  local dir=$work/tree-$1-$2
  mkdir -p "$dir/bin" "$dir/etc"
  printf '#!/bin/sh\necho %s %s\n' "$1" "$2" >"$dir/bin/$1"
  chmod 755 "$dir/bin/$1"
  printf 'name=%s\nversion=%s\n' "$1" "$2" >"$dir/etc/$1.conf"
  echo "$dir"
}
package() {  # name version [qpk build options...]: work/NAME-VERSION.qpk, signed with the development key
  local name=$1 version=$2
  shift 2
  qpk build -o "$work/$name-$version.qpk" --name "$name" --version "$version" --build-time 1780000000 \
    --key "$key" "$@" "$(make_tree "$name" "$version")"
}

failed=0
# The installer on the demo root, its output shown and checked: an error or a
# non-zero exit status fails the demo, unless refused=1 is set for the call,
# when both are expected. Standard input is passed on; from=FILE shows it.
run() {
  echo "$(typed installer -r "$root" "$@")${from:+ < ${from/#$work\//work/}}"
  local out status=0
  out=$("$installer" -r "$root" "$@" 2>&1) || status=$?
  # What the terminal shows: the status line is redrawn in place with
  # carriage returns, so only what stays on screen is printed.
  printf '%s\n' "$out" | sed 's/\x1b\[?25[lh]//g; s/\x08 //g' | awk '{
      n = split($0, part, "\r"); shown = ""
      for (i = 1; i <= n; i++) shown = part[i] substr(shown, length(part[i]) + 1)
      sub(/ +$/, "", shown); if (shown != "") print "  " shown }'
  echo "  (exit status $status)"
  local error=0
  if [ "$status" -ne 0 ] || printf '%s\n' "$out" | grep -q 'ERROR: '; then error=1; fi
  if [ "$error" -ne "${refused:-0}" ]; then
    echo "  ^ unexpected: the demo expected $([ "${refused:-0}" -eq 1 ] && echo a refusal || echo success)" >&2
    failed=1
  fi
}
table() {
  run --show
  if [ "${legend_shown:-0}" -eq 0 ]; then
    echo "  (flags after the name: X disabled, B installed as a member of a bundle)"
    legend_shown=1
  fi
}
flash() {  # the files on flash, outside the package database
  echo "\$ find /flash -type f -not -path '/flash/var/pdb/*'"
  (cd "$root" && find flash -type f -not -path 'flash/var/pdb/*' | sort | sed 's/^/  \//')
}
database() {
  echo "\$ ls /flash/var/pdb/*"
  (cd "$root/flash/var/pdb" && for d in *; do echo "  $d: $(find "$d" -mindepth 1 -maxdepth 1 -printf '%f ' |
    tr ' ' '\n' | sort | tr '\n' ' ')"; done)
}
show_file() {
  echo "\$ cat $1"
  sed 's/^/  /' "$root$1"
}
schedule() {  # name action: what another system tool does to schedule an action
  mkdir -p "$root/ram/pdb/$1"
  echo "$2" >"$root/ram/pdb/$1/schedule"
  echo "\$ echo $2 > /ram/pdb/$1/schedule"
}
# The router's download tool removes what it fetched once the installer ran;
# package files kept as package images have been moved into the store.
clear_downloads() { rm -f "$download"/*.qpk "$download"/*.vpk; }

echo
echo "== 1. a fresh install: packages and a bundle in the download directory"
echo "base system" >"$work/system.image"
package system 6.48.1 --note "base system" --provides kernel:6.48 --image "$work/system.image"
package ntp 6.48.1 --note "time service" --depends system:6.48
package hello 1.0 --note "hello world" --depends kernel
package dhcp 6.48.1 --depends system:6.48
package ppp 6.48.1 --depends system:6.48
echo "velnor bundle" >"$work/velnor.image"
qpk bundle -o "$work/velnor-6.48.1.vpk" --name velnor --version 6.48.1 --build-time 1780000000 \
  --note "dhcp and ppp" --image "$work/velnor.image" --disabled ppp --key "$key" \
  "$work/dhcp-6.48.1.qpk" "$work/ppp-6.48.1.qpk"
qpk verify "$work/velnor-6.48.1.vpk"
cp "$work/system-6.48.1.qpk" "$work/ntp-6.48.1.qpk" "$work/hello-1.0.qpk" "$work/velnor-6.48.1.vpk" "$download/"
echo "\$ ls /rw/pckg/.download"
ls "$download" | sed 's/^/  /'
run
clear_downloads
table
flash
database

echo
echo "== 2. an upgrade: ntp 6.48.2 replaces ntp 6.48.1"
package ntp 6.48.2 --note "time service, fixed"
cp "$work/ntp-6.48.2.qpk" "$download/"
run
clear_downloads
table
show_file /flash/etc/ntp.conf

echo
echo "== 3. a scheduled disable: another tool asks for hello to be disabled"
schedule hello disable
run
rm -rf "$root/ram/pdb/hello"
table
database

echo
echo "== 4. an install from standard input: the package does not go through a download directory"
package logger 1.0 --note "system log" --depends system:6.48
from=$work/logger-1.0.qpk run - <"$work/logger-1.0.qpk"
table

echo
echo "== 5. a bad signature: a package signed with a key the router does not trust is refused"
qpk keygen --table "$repo/keys/development.public" -o "$work/stranger"
qpk build -o "$work/intruder-1.0.qpk" --name intruder --version 1.0 --build-time 1780000000 \
  --key "$work/stranger.private" "$(make_tree intruder 1.0)"
if qpk verify "$work/intruder-1.0.qpk"; then failed=1; fi
refused=1 from=$work/intruder-1.0.qpk run - <"$work/intruder-1.0.qpk"
table

echo
echo "== 6. --safe, then --commit: ntp 6.48.3 is staged first and applied later"
package ntp 6.48.3 --note "time service, safer"
cp "$work/ntp-6.48.3.qpk" "$download/"
run --safe
echo "  (staged: /ram/MANIFEST lists $(wc -l <"$root/ram/MANIFEST") changes; nothing on /flash has changed yet)"
show_file /flash/etc/ntp.conf
run --commit
clear_downloads
show_file /flash/etc/ntp.conf
table

echo
echo "== 7. a scheduled uninstall: another tool asks for logger to go"
schedule logger uninstall
run
rm -rf "$root/ram/pdb/logger"
table
flash

if [ "$failed" -ne 0 ]; then
  echo "the demo saw something it did not expect" >&2
  exit 1
fi
echo
echo "== done: the demo root is $root (delete it with: rm -rf $root)"
