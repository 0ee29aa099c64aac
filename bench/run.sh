#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Measures extraction against the decompressor's own speed (kavro-bench) on
# 32-bit PowerPC shared libraries like the plugin, taken from Debian's
# libc6-powerpc-cross (installed when run as root), or on PAYLOAD files given.
#   bench/run.sh [--runs N] [PAYLOAD...]      the speed table, and zepa list
#                                             and verify by the number of entries
#   bench/run.sh --callgrind [PAYLOAD...]     instructions per decoded byte
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
runs=9
callgrind=0
payloads=()
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift ;;
    --callgrind) callgrind=1 ;;
    *) payloads+=("$1") ;;
  esac
  shift
done

cross=/usr/powerpc-linux-gnu/lib
if [ ${#payloads[@]} -eq 0 ]; then
  if [ ! -f "$cross/libm.so.6" ] && [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libc6-powerpc-cross >/dev/null
  fi
  [ -f "$cross/libm.so.6" ] || { echo "bench: install libc6-powerpc-cross or name payloads" >&2; exit 1; }
  # A 700 KB library like the plugin, a 2 MB one, and 4 MiB of libraries back
  # to back: four whole blocks, to see packing on every core.
  mkdir -p "$build/bench"
  cat "$(readlink -f "$cross/libc.so.6")" "$(readlink -f "$cross/libstdc++.so.6")" >"$build/bench/libs-4MiB.bin"
  truncate -s 4194304 "$build/bench/libs-4MiB.bin"
  payloads=("$cross/libm.so.6" "$(readlink -f "$cross/libc.so.6")" "$build/bench/libs-4MiB.bin")
fi

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target kavro-bench zepa >/dev/null

if [ "$callgrind" = 0 ]; then
  for p in "${payloads[@]}"; do
    "$build/bin/kavro-bench" --runs "$runs" --zepa "$build/bin/zepa" --scratch "$build" "$p"
    echo
  done
  "$build/bin/kavro-bench" --runs "$runs" --zepa "$build/bin/zepa" --entries
  exit 0
fi

# Instructions: callgrind counts them, whatever else the machine does.
command -v valgrind >/dev/null || { echo "bench: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
instructions() {  # instructions [CALLGRIND OPTION...] -- COMMAND...: instructions counted
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  valgrind --tool=callgrind "${options[@]}" --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>"$work/cg.err"
  sed -n 's/^summary: *//p' "$work/cg.out"
}
echo "instructions per decoded byte (callgrind): the in-memory decode and checksum alone (the baseline),"
echo "and the whole zepa extract process, from its start to its exit"
printf '%-40s %14s %14s %10s\n' payload "in-memory" "zepa extract" ratio
for p in "${payloads[@]}"; do
  size=$(stat -c %s "$p")
  "$build/bin/zepa" create -q --force "$work/disk.dsk" "payload=$p"
  "$build/bin/kavro-bench" --pack-to "$work/packed" "$p"
  decode=$(instructions --toggle-collect='*decode_in_memory*' -- "$build/bin/kavro-bench" --decode-only "$work/packed")
  extract=$(instructions -- "$build/bin/zepa" extract --force "$work/disk.dsk" payload "$work/out")
  cmp -s "$p" "$work/out" || { echo "bench: extracted bytes differ" >&2; exit 1; }
  awk -v p="$(basename "$p")" -v s="$size" -v d="$decode" -v e="$extract" \
    'BEGIN { printf "%-40s %9.1f/byte %9.1f/byte %9.2fx\n", p, d / s, e / s, e / d }'
done
