#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# release.sh -- make what a maintainer publishes for the boxes.
#
#   scripts/release.sh [--build DIR] [--zepa PROGRAM] [--box-gate PROGRAM]
#                      [--model MODEL=DIR]... OUTDIR [PAYLOADS]
#
# Makes the release in a new folder beside OUTDIR (.NAME.release-XXXXXX for
# an OUTDIR named NAME) and, only when every step passed, points OUTDIR at it:
# OUTDIR is a symbolic link, replaced by a new one in one rename, and the
# previous release is removed after that. A failure, a signal or a power cut
# at any moment leaves OUTDIR naming a complete release, the previous or the
# new one. An OUTDIR that is a folder of an earlier release is exchanged with
# the link in one step too (renameat2's RENAME_EXCHANGE, through python3). The
# release holds:
#   kavro-install   the PowerPC installer of the build DIR, stripped, and
#                   passed by the box gate (scripts/box-gate.sh) where it exists
#   dm7000.dsk      the data disk of each model, packed with `zepa create`
#   dm56xx.dsk      from the files of the model's payload folder (--model
#   dbox2.dsk       MODEL=DIR, or PAYLOADS for every model without one), each
#                   passing `zepa verify --installer`
#   SHA256SUMS      the SHA-256 of the four files above (sha256sum -c)
# and prints the shared libraries the installer needs and the newest C
# library symbol version it uses: the boxes run an older C library than the
# build machine's.
#
# A payload folder's regular files are packed, and a symbolic link to a
# regular file is packed under the link's name; hidden files and editor
# leftovers (.*, *~) are skipped and listed; anything else stops the release,
# naming it. OUTDIR may hold nothing but an earlier release, and may not lie
# inside a payload folder, nor a payload folder inside it.
#
# Options:
#   --build DIR         the box build tree (default build-box, as made by
#                       scripts/ppc-lane.sh); its compilers' prefix
#                       (KAVRO_CROSS_PREFIX) names the strip and readelf used
#   --zepa PROGRAM      this machine's disk tool (default build/bin/zepa)
#   --box-gate PROGRAM  the check of the stripped installer (default
#                       scripts/box-gate.sh, skipped when it does not exist)
#   --model MODEL=DIR   the payload folder of MODEL (dm7000, dm56xx or
#                       dbox2); repeatable
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-box
zepa=$here/build/bin/zepa
gate=$here/scripts/box-gate.sh
models=(dm7000 dm56xx dbox2)
files=(kavro-install "${models[@]/%/.dsk}" SHA256SUMS)
declare -A payloads=()

usage() {
  echo "usage: scripts/release.sh [--build DIR] [--zepa PROGRAM] [--box-gate PROGRAM] [--model MODEL=DIR]..." \
    "OUTDIR [PAYLOADS]" >&2
  exit 2
}
die() { echo "release: $*" >&2; exit 2; }
fail() { echo "release: $*; OUTDIR is as it was" >&2; exit 1; }

operands=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift ;;
    --zepa) [ $# -ge 2 ] || usage; zepa=$2; shift ;;
    --box-gate) [ $# -ge 2 ] || usage; gate=$2; shift ;;
    --model)
      [ $# -ge 2 ] || usage
      [[ $2 == *=* ]] || die "--model needs MODEL=DIR, got '$2'"
      case ${2%%=*} in
        dm7000|dm56xx|dbox2) ;;
        *) die "unknown model '${2%%=*}' (dm7000, dm56xx or dbox2)" ;;
      esac
      payloads[${2%%=*}]=${2#*=}
      shift ;;
    -h|--help) usage ;;
    -*) die "unknown option '$1'" ;;
    *) operands+=("$1") ;;
  esac
  shift
done
[ ${#operands[@]} -ge 1 ] && [ ${#operands[@]} -le 2 ] || usage
common=${operands[1]:-}

# --- what is asked, checked before anything is written ----------------------

installer=$build/bin/kavro-install
[ -x "$installer" ] || die "no installer at $installer (run scripts/ppc-lane.sh, or give --build)"
[ -x "$zepa" ] || die "no disk tool at $zepa (build this machine's tree, or give --zepa)"
# OUTDIR's own name, not what its link names: its folder made absolute.
base=$(basename -- "${operands[0]}")
case $base in / | . | ..) die "OUTDIR may not be ${operands[0]}" ;; esac
parent=$(realpath -m -- "$(dirname -- "${operands[0]}")")
out=${parent%/}/$base
[ -d "$parent" ] || die "no folder $parent for OUTDIR"
if [ -L "$out" ]; then
  [[ $(readlink -- "$out") == ".$base.release-"?????? ]] ||
    die "$out: a symbolic link, but not to a release made here (.$base.release-XXXXXX beside it)"
elif [ -e "$out" ]; then
  [ -d "$out" ] || die "$out: not a folder"
  for f in "$out"/* "$out"/.*; do
    name=${f##*/}
    case $name in '*' | '.*' | . | ..) continue ;; esac
    [[ " ${files[*]} " == *" $name "* ]] ||
      die "$out holds $name, which is not part of a release; give an empty or new folder"
  done
fi

for model in "${models[@]}"; do
  [ -n "${payloads[$model]:-}" ] || payloads[$model]=$common
  [ -n "${payloads[$model]}" ] || die "no payload folder for $model (--model $model=DIR or PAYLOADS)"
  [ -d "${payloads[$model]}" ] || die "$model: no such folder: ${payloads[$model]}"
  dir=$(realpath -- "${payloads[$model]}")
  payloads[$model]=$dir
  case $out/ in "$dir"/*) die "OUTDIR $out lies inside the payload folder $dir" ;; esac
  case $dir/ in "$out"/* | "$parent/.$base.release-"*) die "the payload folder $dir lies inside OUTDIR $out" ;; esac
done

cross_prefix=$(sed -n 's/^KAVRO_CROSS_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
cross_prefix=${cross_prefix:-powerpc-linux-gnu-}
for tool in strip readelf; do
  command -v "${cross_prefix}$tool" >/dev/null || die "no ${cross_prefix}$tool (the cross binutils)"
done

# checkpoint NAME: the moments of the swap, where a test stops the release
# as a signal or a power cut would (KAVRO_RELEASE_STOP=NAME:SIGNAL).
checkpoint() {
  [ "${KAVRO_RELEASE_STOP:-}" != "" ] && [ "${KAVRO_RELEASE_STOP%%:*}" = "$1" ] || return 0
  kill -s "${KAVRO_RELEASE_STOP#*:}" $$
}

# payload_files MODEL: the paths to pack for MODEL, each ended by a zero
# byte, in name order; the skipped names go to the array `skipped`. Stops at anything but
# a regular file or a link to one.
skipped=()
payload_files() {
  local dir=${payloads[$1]} path name
  skipped=()
  while IFS= read -r -d '' path; do
    name=${path##*/}
    case $name in
      .* | *~) skipped+=("$name"); continue ;;
    esac
    if [ -f "$path" ]; then
      printf '%s\0' "$path"
    elif [ -L "$path" ]; then
      fail "$1: $path is a link to nothing packable; only regular files and links to them are packed"
    else
      fail "$1: $path is not a regular file; only regular files and links to them are packed"
    fi
  done < <(find "$dir" -mindepth 1 -maxdepth 1 -print0 | LC_ALL=C sort -z)
}

# --- the release, made beside OUTDIR -----------------------------------------

# One release at a time beside OUTDIR: the lock is on the folder that holds it.
exec {lock}<"$parent"
flock -n "$lock" || die "another release is being made in $parent"

# What OUTDIR names, as its link says; empty when OUTDIR is no link.
named() { readlink -- "$out" 2>/dev/null || true; }

# Leftovers of a release cut short by a power cut or SIGKILL.
for left in "$parent/.$base.release-"?????? "$parent/.$base.link-"??????; do
  [ -e "$left" ] || [ -L "$left" ] || continue
  [ "${left##*/}" = "$(named)" ] || rm -rf -- "$left"
done

stage=$(mktemp -d "$parent/.$base.release-XXXXXX")
link=
previous=
# Whatever of this run OUTDIR does not name goes: the new release and its
# link when they were not put in place, the previous release when it was.
cleanup() {
  local path
  for path in "$stage" "$link" "$previous"; do
    [ -z "$path" ] || [ "${path##*/}" = "$(named)" ] || rm -rf -- "$path"
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

"${cross_prefix}strip" -o "$stage/kavro-install" "$installer" || fail "strip failed"
chmod 0755 "$stage/kavro-install"
if [ -x "$gate" ]; then
  KAVRO_CROSS_PREFIX=$cross_prefix "$gate" "$stage/kavro-install" >"$stage/gate.txt" 2>&1 ||
    { cat "$stage/gate.txt" >&2; fail "kavro-install fails the box gate ($gate): a box would not run it"; }
  rm -f "$stage/gate.txt"
  echo "release: kavro-install passed the box gate"
else
  echo "release: no box gate at $gate: kavro-install not checked against the boxes' loaders"
fi

for model in "${models[@]}"; do
  dir=${payloads[$model]}
  payload_files "$model" >"$stage/files"
  entries=()
  while IFS= read -r -d '' path; do entries+=("$path"); done <"$stage/files"
  rm -f "$stage/files"
  [ ${#entries[@]} -gt 0 ] || fail "$model: no files in $dir"
  [ ${#skipped[@]} -eq 0 ] || echo "release: $model: skipped in $dir: ${skipped[*]}"
  "$zepa" create -q "$stage/$model.dsk" "${entries[@]}" || fail "$model: zepa create failed"
  "$zepa" verify --installer "$stage/$model.dsk" >"$stage/verify.txt" ||
    { grep -v ': OK' "$stage/verify.txt" >&2; fail "$model: zepa verify --installer failed on the files of $dir"; }
  rm -f "$stage/verify.txt"
  echo "release: $model.dsk: ${#entries[@]} files from $dir, verified for the installer"
done

(cd "$stage" && sha256sum kavro-install "${models[@]/%/.dsk}" >SHA256SUMS)

# --- what the installer needs from the box -----------------------------------

needed=$("${cross_prefix}readelf" -d "$stage/kavro-install" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
symbols=$("${cross_prefix}readelf" -W --dyn-syms "$stage/kavro-install" | grep -o '[A-Za-z0-9_]*@GLIBC_[0-9][0-9.]*' || true)
newest=$(grep -o 'GLIBC_[0-9][0-9.]*' <<<"$symbols" | sort -u -V | tail -n 1)

# --- the swap: the new release takes OUTDIR's place ----------------------------

# exchange A B: A and B trade places in one step (renameat2 with
# RENAME_EXCHANGE), where python3 and the file system offer it.
exchange() {
  command -v python3 >/dev/null || return 1
  python3 - "$1" "$2" <<'EOF'
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
if libc.renameat2(AT_FDCWD, os.fsencode(sys.argv[1]), AT_FDCWD, os.fsencode(sys.argv[2]), RENAME_EXCHANGE):
    sys.exit("release: cannot exchange " + sys.argv[2] + " in one step: " + os.strerror(ctypes.get_errno()))
EOF
}

chmod 0755 "$stage"
checkpoint staged
find "$stage" -type f -exec sync -- {} +
sync -- "$stage"
checkpoint flushed
link=$(mktemp -u "$parent/.$base.link-XXXXXX")
ln -s -- "${stage##*/}" "$link"
checkpoint linked
if [ -L "$out" ] || [ ! -e "$out" ]; then
  [ ! -L "$out" ] || previous=$parent/$(named)
  mv -T -- "$link" "$out" || fail "cannot put the new release in place"
  link=
elif exchange "$link" "$out"; then
  previous=$link
  link=
else
  # A folder where no exchange is to be had: two renames, which no signal
  # may part (only a power cut between them leaves OUTDIR missing, the
  # previous release then being the other .$base.release-* folder).
  echo "release: $out is changed from a folder into a link in two renames"
  trap '' INT TERM HUP
  previous=$(mktemp -u "$parent/.$base.release-XXXXXX")
  mv -T -- "$out" "$previous" || fail "cannot move the previous release aside"
  mv -T -- "$link" "$out" || { mv -T -- "$previous" "$out"; previous=; fail "cannot put the new release in place"; }
  link=
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
fi
checkpoint switched
sync -- "$parent"
checkpoint published
[ -z "$previous" ] || rm -rf -- "$previous"
previous=
checkpoint done

echo "release: kavro-install needs: $(paste -sd " " <<<"$needed")"
echo "release: newest C library symbol version: ${newest:-none}" \
  "($(grep "@$newest\$" <<<"$symbols" | sed 's/@.*//' | sort -u | paste -sd " "))"
echo "release: written to $out:"
(cd "$out" && ls -l "${files[@]}" | awk '{ printf "  %10s %s\n", $5, $9 }')
