#!/usr/bin/env bash
# The valgrind lane: the unit tests, `zepa verify` over a disk and one full
# install in the simulated box, all under memcheck with --leak-check=full.
# Any error, and any byte lost, fails the lane.
#   tests/valgrind.sh [BUILD_DIR]     (default build-valgrind, RelWithDebInfo)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-valgrind}
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

log=$build/valgrind-logs
rm -rf "$log" && mkdir -p "$log"
memcheck=(valgrind --tool=memcheck --error-exitcode=97 --leak-check=full --show-leak-kinds=all
          --errors-for-leak-kinds=all --track-fds=no --trace-children=no)
status=0
runs=0

check() {  # check NAME COMMAND...
  local name=$1
  shift
  runs=$((runs + 1))
  if "${memcheck[@]}" --log-file="$log/$name.log" "$@" >"$log/$name.out" 2>&1; then
    printf '  %-32s clean\n' "$name"
  else
    printf '  %-32s FAILED (see %s)\n' "$name" "$log/$name.log"
    grep -E 'ERROR SUMMARY|definitely|indirectly|possibly|still reachable' "$log/$name.log" | sed 's/^/      /'
    status=1
  fi
}

# Death tests fork and abort on purpose; they run in the sanitizer build.
# The end-to-end tests run the installer in other processes; the full install
# below runs it under memcheck itself.
for t in "$build"/tests/*; do
  [ -x "$t" ] && [ -f "$t" ] || continue
  [ "$(basename "$t")" != installer_e2e_tests ] || continue
  check "$(basename "$t")" env KAVRO_BUILD_DIR="$build" "$t" --gtest_filter='-*DeathTest*'
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 300000 /dev/urandom >"$work/noise.bin"
seq 1 200000 >"$work/numbers.txt"
"$build/bin/zepa" create --force "$work/sample.dsk" "$work/noise.bin" "$work/numbers.txt" >/dev/null
check zepa-verify "$build/bin/zepa" verify "$work/sample.dsk"
check zepa-extract "$build/bin/zepa" extract "$work/sample.dsk" numbers.txt "$work/numbers.out"
cmp "$work/numbers.txt" "$work/numbers.out"

if [ -x "$here/tests/installer/valgrind_install.sh" ]; then
  runs=$((runs + 1))
  if "$here/tests/installer/valgrind_install.sh" "$build" "$log"; then
    printf '  %-32s clean\n' "full install (kavro-box)"
  else
    printf '  %-32s FAILED\n' "full install (kavro-box)"
    status=1
  fi
fi

echo "valgrind lane: $runs runs, $([ $status -eq 0 ] && echo 'no errors, no bytes lost' || echo 'FAILURES')"
exit $status
