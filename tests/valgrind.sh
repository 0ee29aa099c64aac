#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The valgrind lane: the test programs themselves, `zepa verify` and `zepa extract` and one full install in the box,
# all under memcheck with --leak-check=full. Any error, and any byte lost, fails the lane.
#   tests/valgrind.sh [BUILD_DIR]     (default build-valgrind, RelWithDebInfo)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-valgrind}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
log=$build/valgrind-logs
rm -rf "$log" && mkdir -p "$log"
memcheck="valgrind --error-exitcode=97 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all"
status=0 runs=0
verdict() {  # verdict NAME FAILED(0/1)
  runs=$((runs + 1))
  if [ "$2" = 0 ]; then printf '  %-32s clean\n' "$1" && return; fi
  printf '  %-32s FAILED (see %s)\n' "$1" "$log/$1.log" && status=1
  grep -sE 'ERROR SUMMARY|definitely|indirectly|possibly|still reachable' "$log/$1.log" | sed 's/^/      /' || true
}
check() {  # check NAME COMMAND...
  local name=$1 failed=0
  shift && $memcheck --log-file="$log/$name.log" "$@" >"$log/$name.out" 2>&1 || failed=1
  verdict "$name" $failed
}

# Memcheck watches each test program itself, without the death tests, the power cuts and the two installers (they fork
# and abort or cut off the child, or end it with _exit, on purpose; the sanitizer build runs them) and without the end-to-end tests, whose installer runs in
# other processes (the install below), and the release's, all of whose work is the release script's.
export KAVRO_BUILD_DIR=$build
for t in "$build"/tests/*; do
  case $(basename "$t") in installer_e2e_tests | release_tests) continue ;; esac
  [ -x "$t" ] && [ -f "$t" ] || continue
  check "$(basename "$t")" "$t" --gtest_filter='-*DeathTest*:PowerCut.*:TwoInstallers.*'
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 300000 /dev/urandom >"$work/noise.bin"
seq 1 200000 >"$work/numbers.txt"
"$build/bin/zepa" create --force "$work/sample.dsk" "$work/noise.bin" "$work/numbers.txt" >/dev/null
check zepa-verify "$build/bin/zepa" verify "$work/sample.dsk"
check zepa-extract "$build/bin/zepa" extract "$work/sample.dsk" numbers.txt "$work/numbers.out"
cmp "$work/numbers.txt" "$work/numbers.out"

# One full install in kavro-box (English, subtitles in /tmp, the first font): status 0 and the plugin in place.
if [ -x "$build/bin/kavro-box" ]; then
  plugin=$build/demo/payloads/d213-EN.so failed=0
  "$build/bin/zepa" create --force "$work/dm7000.dsk" "$plugin" "$build/demo/payloads/kavro-2.cfg" >/dev/null
  "$build/bin/kavro-box" --disk "$work/dm7000.dsk" --font-name a.ttf --root "$work/box" --keys b2ay \
    --under "$memcheck --log-file=/tmp/valgrind.log" >"$log/install.out" 2>&1 || true
  cp "$work/box/tmp/valgrind.log" "$log/install.log" 2>/dev/null || failed=1
  grep -q 'kavro-install exited with status 0\.' "$log/install.out" || failed=1
  cmp -s "$plugin" "$work/box/var/tuxbox/plugins/kavro.so" || failed=1
  grep -q 'ERROR SUMMARY: 0 errors' "$log/install.log" && grep -q 'All heap blocks were freed' "$log/install.log" || failed=1
  verdict install $failed
fi
echo "valgrind lane: $runs runs, $([ $status -eq 0 ] && echo 'no errors, no bytes lost' || echo 'FAILURES')"
exit $status
