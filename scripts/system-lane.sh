#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# system-lane.sh -- the release's installers on the system box: an emulated
# PowerPC 405 (qemu-system-ppc's ref405ep) with its own Linux kernel and /var
# a JFFS2 on a DM7000's flash of 1792 KiB, through power cuts
# (tests/system/rows.py; kavro-box --system runs one such box).
#
#   scripts/system-lane.sh [rows.py options]   e.g. --seed N replays the cuts
#                                              of an earlier run
#   scripts/system-lane.sh --prepare           steps 1 and 2 only (what
#                                              ./kavro demo --system needs)
#
# Steps (each prints its time):
#   1. Debian packages: qemu-system-ppc, mtd-utils, linux-source-6.1 and the
#      kernel's build tools, when run as root.
#   2. What the box runs: the box builds (build-box, build-box-uclibc) with
#      their packages and libraries (scripts/ppc-lane.sh --box), the boxes'
#      GNU libc (scripts/box-libc.sh), the kernel (scripts/box-kernel.sh);
#      the cached ones cost nothing after the first run on a machine. And
#      this machine's disk tool with the demo's payloads (build/).
#   3. The rows.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/common.sh"  # the lane's own say and fail follow
jobs=2
packages=(qemu-system-ppc mtd-utils linux-source-6.1 bc flex bison libssl-dev libelf-dev cpio xz-utils
          device-tree-compiler perl python3 cmake make g++)

lane_start=$SECONDS
step_start=$SECONDS
say() { echo "system-lane: $*"; }
fail() { echo "system-lane: $*" >&2; exit 1; }
step() { say "$1"; step_start=$SECONDS; }
step_done() { say "  done in $((SECONDS - step_start)) s"; }

step "1/3 packages"
install_packages "${packages[@]}"
step_done

step "2/3 the box builds, the boxes' C libraries, the kernel, this machine's disk tool"
log=$here/build/system-lane/box-builds.log
mkdir -p "${log%/*}"
"$here/scripts/ppc-lane.sh" --box >"$log" 2>&1 ||
  { tail -n 30 "$log" >&2; fail "the box builds failed (scripts/ppc-lane.sh --box)"; }
"$here/scripts/box-libc.sh" >/dev/null || fail "the boxes' GNU libc failed (scripts/box-libc.sh)"
kernel=${KAVRO_BOX_KERNEL:-$("$here/scripts/box-kernel.sh")} || fail "the box's kernel failed (scripts/box-kernel.sh)"
say "  the kernel: $kernel"
python3 "$here/tests/box/system/smoke_test.py" >"${log%/*}/smoke.log" 2>&1 ||
  { cat "${log%/*}/smoke.log" >&2; fail "the machine's smoke test failed (tests/box/system/smoke_test.py)"; }
say "  $(grep -i 'ready\|free' "${log%/*}/smoke.log" | head -n 2 | paste -sd ';' -)"
[ -f "$here/build/CMakeCache.txt" ] || cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build" -j"$jobs" --target zepa kavro_demo_payloads >/dev/null || fail "building the disk tool failed"
step_done

if [ "${1:-}" = --prepare ]; then
  say "prepared in $((SECONDS - lane_start)) s"
  exit 0
fi

step "3/3 the rows on the system box"
status=0
python3 "$here/tests/system/rows.py" --box-build "$here/build-box" --uclibc-build "$here/build-box-uclibc" \
  --zepa "$here/build/bin/zepa" --payloads "$here/build/demo/payloads" "$@" || status=$?
step_done
say "lane took $((SECONDS - lane_start)) s"
exit "$status"
