#!/usr/bin/env bash
# Compares the installer with dpkg and with the floor of the same work, and
# prints the installer's figures for large inputs. Not a test: it prints
# figures and judges nothing. Run it as root (it changes roots and mounts a
# tmpfs in a private mount namespace); on a fresh Debian 12 machine it first
# installs what it needs with apt-get.
#
#   bench/compare.sh [RUNS]      RUNS alternating runs of each program (default 5)
#
# 1. One signed package of 64 MiB in 64 files (half text, half random bytes)
#    and a .deb of the same files; the installer (an upgrade run that finds
#    the package in the download directory), "dpkg --root" (its admin
#    directory inside the root) and the floor (bench/install_floor: read the
#    file, hash it whole, inflate the archive, write the files) install it by
#    turns on a fresh root on tmpfs. The table gives the medians of wall time,
#    CPU time (user and system) and peak resident memory, and their ratios.
#    The same for a package of 1 MiB.
# 2. An upgrade with 1,500 and with 3,000 small packages in the
#    download directory (medians of three runs), and one run each of a bundle
#    of 1,500 members and a package of 80,000 small files on standard input,
#    and the load (with the listing) of a package database of 10,000 and of
#    100,000 records.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
runs=${1:-5}

if [ "$(id -u)" -ne 0 ]; then
  echo "compare.sh: run it as root (it changes roots and mounts a tmpfs)" >&2
  exit 1
fi

# Inside a private mount namespace, on a tmpfs of its own: the second half.
if [ "${COMPARE_INSIDE:-}" != 1 ]; then
  need=()
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  command -v cmake >/dev/null 2>&1 || need+=(cmake make)
  command -v dpkg-deb >/dev/null 2>&1 || need+=(dpkg-dev)
  [ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
  [ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  if [ "${#need[@]}" -gt 0 ]; then
    echo "== installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi
  dir=build-compare
  mkdir -p "$dir"
  echo "== building the installer as users get it (Release, linked statically)"
  if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF -DINSTALLER_BENCH=ON \
           -DINSTALLER_STATIC=ON -DINSTALLER_WERROR=OFF &&
         cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target installer bench_tool install_floor
       } >"$dir/compare-build.log" 2>&1; then
    cat "$dir/compare-build.log" >&2
    exit 1
  fi
  scratch=$(mktemp -d /tmp/installer-compare-XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  export COMPARE_INSIDE=1 COMPARE_SCRATCH=$scratch COMPARE_BUILD=$source_dir/$dir
  private="mount --make-rprivate / && mount -t tmpfs -o size=3g tmpfs '$scratch'"
  if unshare -m sh -c "$private" 2>/dev/null; then
    unshare -m sh -c "$private && exec '$0' $runs"
  else
    echo "compare.sh: no private tmpfs (mounting not permitted); using /dev/shm" >&2
    COMPARE_SCRATCH=$(mktemp -d /dev/shm/installer-compare-XXXXXX)
    trap 'rm -rf "$scratch" "$COMPARE_SCRATCH"' EXIT
    "$0" "$runs"
  fi
  exit 0
fi

work=$COMPARE_SCRATCH
installer=$COMPARE_BUILD/installer
tool=$COMPARE_BUILD/bench/bench_tool
floor=$COMPARE_BUILD/bench/install_floor
root=$work/root

# A fresh, empty router root.
fresh_root() {
  rm -rf "$root"
  mkdir -p "$root"/flash/var/pdb "$root"/flash/boot "$root"/ram "$root"/rw/pckg/.download "$root"/tmp
}

# Median of the numbers on standard input.
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Runs "bench_tool measure" and appends "wall cpu peak" to the file $1; a run
# that fails stops the script.
measured() {
  local into=$1; shift
  local result
  result=$("$tool" measure "$@")
  set -- $result
  if [ "$4" != 0 ]; then echo "compare.sh: a run failed (exit status $4)" >&2; exit 1; fi
  echo "$1 $2 $3" >>"$into"
}

# The table of one package size.
compare_size() {
  local mib=$1
  local package=$work/bench-$mib.qpk deb=$work/bench-$mib.deb tree=$work/tree-$mib
  "$tool" sized "$package" "$mib"
  # The .deb holds the files the floor writes from the package.
  rm -rf "$tree"
  mkdir -p "$tree/DEBIAN"
  "$floor" "$package" "$tree/flash" >/dev/null
  printf 'Package: bench\nVersion: 7.2\nArchitecture: all\nMaintainer: bench <bench@localhost>\nDescription: bench\n' \
    >"$tree/DEBIAN/control"
  dpkg-deb -Zgzip --root-owner-group --build "$tree" "$deb" >/dev/null
  rm -rf "$tree"
  local results=$work/results-$mib
  rm -f "$results".*
  for _ in $(seq "$runs"); do
    fresh_root
    ln "$package" "$root/rw/pckg/.download/bench.qpk"
    measured "$results.installer" -- "$installer" -r "$root"
    [ -d "$root/flash/var/pdb/bench" ] || { echo "compare.sh: the installer did not install" >&2; exit 1; }
    fresh_root
    mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
    touch "$root/var/lib/dpkg/status"
    measured "$results.dpkg" -- "$(command -v dpkg)" --root="$root" --force-not-root --force-script-chrootless \
      --no-triggers -i "$deb"
    fresh_root
    measured "$results.floor" -- "$floor" "$package" "$root/flash"
  done
  local who
  for who in installer dpkg floor; do
    for column in 1 2 3; do
      awk -v c=$column '{print $c}' "$results.$who" | median >"$results.$who.$column"
    done
  done
  value() { cat "$results.$1.$2"; }
  ratio() { awk -v a="$(value "$1" "$3")" -v b="$(value "$2" "$3")" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
  echo
  echo "== $mib MiB package, 64 files; medians of $runs alternating runs on tmpfs"
  printf '%-10s %10s %10s %10s\n' "" "wall ms" "CPU ms" "peak KiB"
  for who in installer dpkg floor; do
    printf '%-10s %10.1f %10.1f %10d\n' "$who" "$(awk '{print $1 * 1000}' "$results.$who.1")" \
      "$(awk '{print $1 * 1000}' "$results.$who.2")" "$(value "$who" 3)"
  done
  printf '%-18s %10s %10s %10s\n' "ratio" "wall" "CPU" "peak"
  printf '%-18s %10s %10s %10s\n' "installer / floor" "$(ratio installer floor 1)" "$(ratio installer floor 2)" \
    "$(ratio installer floor 3)"
  printf '%-18s %10s %10s %10s\n' "dpkg / installer" "$(ratio dpkg installer 1)" "$(ratio dpkg installer 2)" \
    "$(ratio dpkg installer 3)"
  printf '%-18s %10s %10s %10s\n' "dpkg / floor" "$(ratio dpkg floor 1)" "$(ratio dpkg floor 2)" "$(ratio dpkg floor 3)"
  rm -f "$package" "$deb"
}

# One line of the scale figures: what, the run's figures, the target.
scale_line() {
  local what=$1 target=$2; shift 2
  local result
  result=$("$tool" measure "$@")
  set -- $result
  printf '%-44s %9.2f %9.2f %9d   %s\n' "$what" "$1" "$2" "$3" "$target"
  [ "$4" = 0 ] || echo "   (exit status $4)"
}

compare_size 64
compare_size 1

echo
echo "== scale on tmpfs: one run each, the upgrades the median of three"
printf '%-44s %9s %9s %9s   %s\n' "" "wall s" "CPU s" "peak KiB" "target"
# The two upgrade runs: medians of three runs each, and their ratio.
for count in 1500 3000; do
  "$tool" many "$work/downloads-$count" "$count"
  rm -f "$work/upgrade-$count"
  for _ in 1 2 3; do
    fresh_root
    ln "$work/downloads-$count"/*.qpk "$root/rw/pckg/.download/"
    measured "$work/upgrade-$count" -- "$installer" -r "$root"
  done
  rm -rf "$work/downloads-$count"
  for column in 1 2 3; do awk -v c=$column '{print $c}' "$work/upgrade-$count" | median >"$work/upgrade-$count.$column"; done
  printf '%-44s %9.2f %9.2f %9d   %s\n' "upgrade, $count small packages to download" "$(cat "$work/upgrade-$count.1")" \
    "$(cat "$work/upgrade-$count.2")" "$(cat "$work/upgrade-$count.3")" "< 5 s wall (median of 3)"
done
printf '%-44s %9.2f %9.2f %9s   %s\n' "  3,000 against 1,500" \
  "$(awk -v a="$(cat "$work/upgrade-3000.1")" -v b="$(cat "$work/upgrade-1500.1")" 'BEGIN {print a / b}')" \
  "$(awk -v a="$(cat "$work/upgrade-3000.2")" -v b="$(cat "$work/upgrade-1500.2")" 'BEGIN {print a / b}')" "" "<= 2.5 x"
fresh_root
"$tool" bundle "$work/bundle.qpk" 1500
scale_line "bundle of 1,500 members on standard input" "< 3 s wall" -i "$work/bundle.qpk" -- "$installer" -r "$root" -
rm -f "$work/bundle.qpk"
fresh_root
"$tool" files "$work/files.qpk" 80000
scale_line "one package of 80,000 files, standard input" "< 20 MB peak" -i "$work/files.qpk" -- "$installer" -r "$root" -
rm -f "$work/files.qpk"
for count in 10000 100000; do
  fresh_root
  "$tool" database "$root" "$count"
  scale_line "load and list a database of $count records" "" -- "$installer" -r "$root" --show
done
rm -rf "$root"
