# SPDX-License-Identifier: GPL-2.0-or-later
# common.sh -- the steps the box scripts share; sourced, never run:
#
#   . "$(dirname "${BASH_SOURCE[0]}")/common.sh"
#   script_name=box-libc
#
# It sets the cross triple, the build's job count and the cache folder, and
# gives the preamble's messages, the versions of Debian's packages, the
# cached build's lock and stamp, and the instruction check of what is built
# for the emulator. A script that sources it keeps `set -euo pipefail`.

triple=powerpc-linux-gnu
jobs=2
cache=${KAVRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro}
script_name=${script_name:-$(basename "$0" .sh)}

# say TEXT: one line of progress on standard error, under the script's name.
say() { echo "$script_name: $*" >&2; }

# fail TEXT: the reason on standard error under the script's name; exit 1.
fail() { echo "$script_name: $*" >&2; exit 1; }

# print_option "$@": the cache scripts' one option; sets print_only (0 or 1).
print_option() {
  print_only=0
  case "${1:-}" in
    --print) print_only=1 ;;
    "") ;;
    *) echo "usage: scripts/$script_name.sh [--print]" >&2; exit 2 ;;
  esac
}

# install_packages PACKAGE...: installs the Debian packages missing of these,
# as root; as another user ends naming them.
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || fail "missing packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# source_version PACKAGE: the version `apt-get source` would fetch.
source_version() {
  local dsc
  dsc=$(apt-get source --print-uris "$1" 2>/dev/null | awk '{ print $2 }' | grep '\.dsc$' | head -n1)
  [ -n "$dsc" ] || fail "apt-get source finds no $1 (no deb-src entry? scripts/ppc-lane.sh adds one)"
  dsc=${dsc%.dsc}
  echo "${dsc#*_}"
}

# package_version PACKAGE: the version of an installed Debian package.
package_version() {
  local v
  v=$(dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p')
  [ -n "$v" ] || fail "Debian package $1 is not installed (scripts/ppc-lane.sh installs it as root)"
  echo "$v"
}

# cached_root OUT: prints OUT/root and ends the script when OUT is complete,
# or when only its place was asked for (--print).
cached_root() {
  if [ "${print_only:-0}" -eq 1 ] || [ -f "$1/.done" ]; then
    echo "$1/root"
    exit 0
  fi
}

# start_cache KIND KEY: the cached build KIND/KEY. Prints its root and ends
# the script when it is complete (or --print); else waits for any other
# build of KIND on this machine, looks again, and sets out (the result's
# folder), work (an empty folder to build in), log and started.
start_cache() {
  out=$cache/$1/$2
  cached_root "$out"
  mkdir -p "$cache/$1"
  exec 9>"$cache/$1/.lock"
  flock 9
  cached_root "$out"
  work=$cache/$1/work-$2
  rm -rf "$work" "$out"
  mkdir -p "$work" "$out"
  log=$out/build.log
  : >"$log"
  started=$SECONDS
}

# need_tools TOOL...: ends with the missing tool's name when one is missing;
# a name starting with "-" is one of the cross tools (-gcc: $triple-gcc).
need_tools() {
  local tool
  for tool in "$@"; do
    case "$tool" in
      -*) command -v "$triple$tool" >/dev/null || fail "no $triple$tool (Debian package gcc-$triple)" ;;
      *) command -v "$tool" >/dev/null || fail "no $tool" ;;
    esac
  done
}

# finish_cache: removes the work folder, packs the build log, stamps the
# result complete and prints its root.
finish_cache() {
  rm -rf "$work"
  gzip -f "$log"
  touch "$out/.done"
  say "done in $((SECONDS - started)) s"
  echo "$out/root"
}

fpu_instructions='^\s*[0-9a-f]+:\s+([0-9a-f]{2} ){4}\s*(f[a-z]+\.?|lf[a-z]+|stf[a-z]+|mffs\.?|mtfs[a-z0-9]*\.?|mcrfs)\s'
cache_instructions='^\s*[0-9a-f]+:\s+([0-9a-f]{2} ){4}\s*(dcbt|dcbtst|dcbz|dcbf|dcbst)\s'

# check_instructions FILE: neither FPU instructions nor the data-cache
# instructions that qemu's mpc8xx model lacks.
check_instructions() {
  local dump
  dump=$($triple-objdump -d "$1")
  if grep -qE "$fpu_instructions" <<<"$dump"; then
    grep -E "$fpu_instructions" <<<"$dump" | head -n 5 >&2
    fail "$1 holds FPU instructions"
  fi
  if grep -qE "$cache_instructions" <<<"$dump"; then
    grep -E "$cache_instructions" <<<"$dump" | head -n 5 >&2
    fail "$1 holds data-cache instructions"
  fi
}
