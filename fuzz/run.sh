#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fuzzes each target (clang, ASan, UBSan, leak checking) for a bounded time from the checked-in corpus. Any crash,
# leak or sanitizer report fails the run; its input is left in build-fuzz/artifacts/.
#   fuzz/run.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$here/build-fuzz"
targets=(container unpack install)

# Optimised, with assertions: a precondition that input can break is a bug.
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DKAVRO_FUZZ=ON -DKAVRO_TESTS=OFF -DKAVRO_INSTALLER=ON -DKAVRO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  cp -n "$here/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  echo "== fuzzing $t for ${seconds}s =="
  if ! "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=2048 -close_fd_mask=2 \
      -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 "$work" 2>"$build/$t.log"; then
    echo "fuzz: $t failed; see $build/$t.log and $build/artifacts/" >&2
    tail -40 "$build/$t.log" >&2
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|DONE' "$build/$t.log" || true
done
exit $status
