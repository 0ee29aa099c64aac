#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# release.sh -- make what a maintainer publishes for the boxes.
#
#   scripts/release.sh [--build DIR] [--zepa PROGRAM] [--model MODEL=DIR]... OUTDIR [PAYLOADS]
#
# Writes into OUTDIR (made if missing; the release's own files in it are
# replaced):
#   kavro-install   the PowerPC installer of the build DIR, stripped
#   dm7000.dsk      the data disk of each model, packed with `zepa create`
#   dm56xx.dsk      from the files of the model's payload directory
#   dbox2.dsk       (--model MODEL=DIR, or PAYLOADS for every model without
#                   one) and checked with `zepa verify`
#   SHA256SUMS      the SHA-256 of the four files above (sha256sum -c)
# and prints the shared libraries the installer needs and the newest C
# library symbol version it uses: the boxes run an older C library than the
# build machine's.
#
# Options:
#   --build DIR       the box build tree (default build-box, as made by
#                     scripts/ppc-lane.sh); its compilers' prefix
#                     (KAVRO_CROSS_PREFIX) names the strip and readelf used
#   --zepa PROGRAM    this machine's disk tool (default build/bin/zepa)
#   --model MODEL=DIR the payload directory of MODEL (dm7000, dm56xx or
#                     dbox2); repeatable
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-box
zepa=$here/build/bin/zepa
models=(dm7000 dm56xx dbox2)
declare -A payloads=()

usage() {
  echo "usage: scripts/release.sh [--build DIR] [--zepa PROGRAM] [--model MODEL=DIR]... OUTDIR [PAYLOADS]" >&2
  exit 2
}
die() { echo "release: $*" >&2; exit 2; }
fail() { echo "release: $*" >&2; exit 1; }

operands=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift ;;
    --zepa) [ $# -ge 2 ] || usage; zepa=$2; shift ;;
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
out=${operands[0]}
common=${operands[1]:-}

# --- what is asked, checked before anything is written ----------------------

installer=$build/bin/kavro-install
[ -x "$installer" ] || die "no installer at $installer (run scripts/ppc-lane.sh, or give --build)"
[ -x "$zepa" ] || die "no disk tool at $zepa (build this machine's tree, or give --zepa)"
for model in "${models[@]}"; do
  [ -n "${payloads[$model]:-}" ] || payloads[$model]=$common
  dir=${payloads[$model]}
  [ -n "$dir" ] || die "no payload directory for $model (--model $model=DIR or PAYLOADS)"
  [ -d "$dir" ] || die "$model: no such directory: $dir"
  [ -n "$(find "$dir" -maxdepth 1 -type f -print -quit)" ] || die "$model: no files in $dir"
done

cross_prefix=$(sed -n 's/^KAVRO_CROSS_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
cross_prefix=${cross_prefix:-powerpc-linux-gnu-}
for tool in strip readelf; do
  command -v "${cross_prefix}$tool" >/dev/null || die "no ${cross_prefix}$tool (the cross binutils)"
done

# --- the release -------------------------------------------------------------

files=(kavro-install "${models[@]/%/.dsk}" SHA256SUMS)
mkdir -p "$out"
(cd "$out" && rm -f "${files[@]}")

"${cross_prefix}strip" -o "$out/kavro-install" "$installer" || fail "strip failed"
chmod 0755 "$out/kavro-install"
KAVRO_CROSS_PREFIX=$cross_prefix "$here/scripts/box-gate.sh" "$out/kavro-install" ||
  fail "kavro-install fails the box gate (scripts/box-gate.sh): a box would not run it"

for model in "${models[@]}"; do
  dir=${payloads[$model]}
  entries=()
  while IFS= read -r -d '' file; do
    entries+=("$(basename "$file")=$file")
  done < <(find "$dir" -maxdepth 1 -type f -print0 | LC_ALL=C sort -z)
  "$zepa" create "$out/$model.dsk" "${entries[@]}" >/dev/null || fail "$model: zepa create failed"
  "$zepa" verify "$out/$model.dsk" >/dev/null || fail "$model: zepa verify failed on $out/$model.dsk"
  echo "release: $model.dsk: ${#entries[@]} files from $dir, verified"
done

(cd "$out" && sha256sum kavro-install "${models[@]/%/.dsk}" >SHA256SUMS)

# --- what the installer needs from the box -----------------------------------

needed=$("${cross_prefix}readelf" -d "$out/kavro-install" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
symbols=$("${cross_prefix}readelf" -W --dyn-syms "$out/kavro-install" | grep -o '[A-Za-z0-9_]*@GLIBC_[0-9][0-9.]*' || true)
newest=$(grep -o 'GLIBC_[0-9][0-9.]*' <<<"$symbols" | sort -u -V | tail -n 1)
echo "release: kavro-install needs: $(paste -sd " " <<<"$needed")"
echo "release: newest C library symbol version: ${newest:-none}" \
  "($(grep "@$newest\$" <<<"$symbols" | sed 's/@.*//' | sort -u | paste -sd " "))"
echo "release: written to $out:"
(cd "$out" && ls -l "${files[@]}" | awk '{ printf "  %10s %s\n", $5, $9 }')
