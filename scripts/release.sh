#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# release.sh -- make what a maintainer publishes for the boxes.
#
#   scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM]
#                      [--box-gate PROGRAM] [--model MODEL=DIR]... OUTDIR [PAYLOADS]
#
# Makes the release in a new folder beside OUTDIR and puts it in OUTDIR's
# place only when every step passed; a failed release leaves OUTDIR as it
# was. The release holds:
#   kavro-install   the PowerPC installer of the build DIR, stripped, and
#                   passed by the box gate (scripts/box-gate.sh) where it exists
#   kavro-install-uclibc
#                   the same for the boxes' uClibc images, from the uClibc
#                   box build
#   dm7000.dsk      the data disk of each model, packed with `zepa create`
#   dm56xx.dsk      from the files of the model's payload folder (--model
#   dbox2.dsk       MODEL=DIR, or PAYLOADS for every model without one), each
#                   passing `zepa verify --installer`
#   SHA256SUMS      the SHA-256 of the five files above (sha256sum -c)
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
#   --uclibc-build DIR  the uClibc box build tree (default build-box-uclibc)
#   --zepa PROGRAM      this machine's disk tool (default build/bin/zepa)
#   --box-gate PROGRAM  the check of the stripped installer (default
#                       scripts/box-gate.sh, skipped when it does not exist)
#   --model MODEL=DIR   the payload folder of MODEL (dm7000, dm56xx or
#                       dbox2); repeatable
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-box
uclibc_build=$here/build-box-uclibc
zepa=$here/build/bin/zepa
gate=$here/scripts/box-gate.sh
models=(dm7000 dm56xx dbox2)
installers=(kavro-install kavro-install-uclibc)
files=("${installers[@]}" "${models[@]/%/.dsk}" SHA256SUMS)
declare -A payloads=()

usage() {
  echo "usage: scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM] [--box-gate PROGRAM]" \
    "[--model MODEL=DIR]..." \
    "OUTDIR [PAYLOADS]" >&2
  exit 2
}
die() { echo "release: $*" >&2; exit 2; }
fail() { echo "release: $*; OUTDIR is as it was" >&2; exit 1; }

operands=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift ;;
    --uclibc-build) [ $# -ge 2 ] || usage; uclibc_build=$2; shift ;;
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

declare -A built=([kavro-install]=$build/bin/kavro-install [kavro-install-uclibc]=$uclibc_build/bin/kavro-install-uclibc)
[ -x "${built[kavro-install]}" ] || die "no installer at ${built[kavro-install]} (run scripts/ppc-lane.sh, or give --build)"
[ -x "${built[kavro-install-uclibc]}" ] ||
  die "no installer at ${built[kavro-install-uclibc]} (run scripts/ppc-lane.sh, or give --uclibc-build)"
[ -x "$zepa" ] || die "no disk tool at $zepa (build this machine's tree, or give --zepa)"
out=$(realpath -m -- "${operands[0]}")
[ "$out" != / ] || die "OUTDIR may not be /"
parent=$(dirname -- "$out")
[ -d "$parent" ] || die "no folder $parent for OUTDIR"
if [ -e "$out" ] || [ -L "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || die "$out: not a folder"
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
  case $dir/ in "$out"/*) die "the payload folder $dir lies inside OUTDIR $out" ;; esac
done

cross_prefix=$(sed -n 's/^KAVRO_CROSS_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
cross_prefix=${cross_prefix:-powerpc-linux-gnu-}
for tool in strip readelf; do
  command -v "${cross_prefix}$tool" >/dev/null || die "no ${cross_prefix}$tool (the cross binutils)"
done

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

stage=$(mktemp -d "$parent/.${out##*/}.new.XXXXXX")
old=
cleanup() {
  rm -rf -- "$stage"
  [ -z "$old" ] || [ ! -d "$old" ] || rm -rf -- "$old"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

for program in "${installers[@]}"; do
  "${cross_prefix}strip" -o "$stage/$program" "${built[$program]}" || fail "strip failed"
  chmod 0755 "$stage/$program"
  if [ -x "$gate" ]; then
    KAVRO_CROSS_PREFIX=$cross_prefix "$gate" "$stage/$program" >"$stage/gate.txt" 2>&1 ||
      { cat "$stage/gate.txt" >&2; fail "$program fails the box gate ($gate): a box would not run it"; }
    rm -f "$stage/gate.txt"
    echo "release: $program passed the box gate"
  else
    echo "release: no box gate at $gate: $program not checked against the boxes' loaders"
  fi
done

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

(cd "$stage" && sha256sum "${installers[@]}" "${models[@]/%/.dsk}" >SHA256SUMS)

# --- what the installer needs from the box -----------------------------------

needed=$("${cross_prefix}readelf" -d "$stage/kavro-install" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
symbols=$("${cross_prefix}readelf" -W --dyn-syms "$stage/kavro-install" | grep -o '[A-Za-z0-9_]*@GLIBC_[0-9][0-9.]*' || true)
newest=$(grep -o 'GLIBC_[0-9][0-9.]*' <<<"$symbols" | sort -u -V | tail -n 1)

# --- the swap: the new release takes OUTDIR's place ----------------------------

chmod 0755 "$stage"
if [ -d "$out" ]; then
  old=$(mktemp -u "$parent/.${out##*/}.old.XXXXXX")
  mv -T -- "$out" "$old" || fail "cannot move the previous release aside"
  mv -T -- "$stage" "$out" || { mv -T -- "$old" "$out"; old=; fail "cannot put the new release in place"; }
else
  mv -T -- "$stage" "$out" || fail "cannot put the new release in place"
fi

echo "release: kavro-install needs: $(paste -sd " " <<<"$needed");" \
  "kavro-install-uclibc: $("${cross_prefix}readelf" -d "$out/kavro-install-uclibc" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd " ")"
echo "release: newest C library symbol version: ${newest:-none}" \
  "($(grep "@$newest\$" <<<"$symbols" | sed 's/@.*//' | sort -u | paste -sd " "))"
echo "release: written to $out:"
(cd "$out" && ls -l "${files[@]}" | awk '{ printf "  %10s %s\n", $5, $9 }')
