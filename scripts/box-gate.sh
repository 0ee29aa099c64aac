#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# box-gate.sh -- would a box's own loader start this program? A check of the
# file alone, without running it: the boxes (PowerPC 405 and MPC823 cores
# without FPU, a C library from 2001-2006, kernels 2.4 and 2.6) refuse a
# program for reasons that an emulator with today's C library never shows.
#
#   scripts/box-gate.sh FILE
#
# Prints one line per row, PASS or FAIL with what failed, and a last line
# with the count. Exit status: 0 when every row passes, 1 when any fails, 2
# when FILE cannot be checked at all (missing, not a 32-bit PowerPC ELF
# file, no binutils for PowerPC).
#
# The rows:
#   versions   every C library symbol version it needs is GLIBC_2.2 or older
#   needed     it needs no shared library but libc.so.6 and libfreetype.so.6
#   fpu        no floating-point instruction (the cores have no FPU; a kernel
#              that does not emulate it kills the program with SIGILL)
#   405-only   no instruction that only the PowerPC 405 has (the MPC823 of
#              the DBox2 lacks the multiply-accumulate family)
#   old PLT    no secure PLT (DT_PPC_GOT): the boxes' loaders predate it
#   DT_HASH    the SysV hash table is there: older loaders know no other
#   not PIE    a fixed-address executable (ELF type EXEC)
#   no TLS     no thread-local storage segment
#   ABI note   no ABI note asking for a kernel newer than Linux 2.4
#   symbols    no UNIQUE or IFUNC symbols (the old loaders know neither)
#
# The tools are the cross binutils: KAVRO_CROSS_PREFIX (default
# powerpc-linux-gnu-) precedes readelf and objdump.
set -euo pipefail

prefix=${KAVRO_CROSS_PREFIX:-powerpc-linux-gnu-}
readelf=${prefix}readelf
objdump=${prefix}objdump

die() { echo "box-gate: $*" >&2; exit 2; }

[ $# -eq 1 ] || { echo "usage: scripts/box-gate.sh FILE" >&2; exit 2; }
file=$1
[ -f "$file" ] || die "$file: no such file"
for tool in "$readelf" "$objdump"; do
  command -v "$tool" >/dev/null || die "no $tool (the PowerPC binutils; KAVRO_CROSS_PREFIX sets the prefix)"
done
header=$(LC_ALL=C "$readelf" -h "$file" 2>/dev/null) || die "$file: not an ELF file"
grep -q 'Class:[[:space:]]*ELF32' <<<"$header" && grep -q 'Machine:[[:space:]]*PowerPC$' <<<"$header" ||
  die "$file: not a 32-bit PowerPC program"

dynamic=$(LC_ALL=C "$readelf" -W -d "$file" 2>/dev/null || true)
segments=$(LC_ALL=C "$readelf" -W -l "$file" 2>/dev/null || true)
dynsyms=$(LC_ALL=C "$readelf" -W --dyn-syms "$file" 2>/dev/null || true)
allsyms=$(LC_ALL=C "$readelf" -W -s "$file" 2>/dev/null || true)
notes=$(LC_ALL=C "$readelf" -W -n "$file" 2>/dev/null || true)
code=$(LC_ALL=C "$objdump" -d "$file" 2>/dev/null) || die "$file: objdump cannot disassemble it"
code_405=$(LC_ALL=C "$objdump" -d -M 405 "$file" 2>/dev/null) || die "$file: objdump cannot disassemble it"

failed=0
row() {  # row PASSED NAME WHAT [DETAIL]
  if [ "$1" -eq 1 ]; then
    printf 'box-gate: PASS  %-9s %s\n' "$2" "$3"
  else
    printf 'box-gate: FAIL  %-9s %s: %s\n' "$2" "$3" "$4"
    failed=$((failed + 1))
  fi
}

# A list of words on one line, at most LIMIT of them and a count of the rest.
some() {
  local limit=$1 words
  words=$(sort -u | grep -v '^$' || true)
  local n
  n=$(grep -c . <<<"$words" || true)
  if [ "$n" -gt "$limit" ]; then
    echo "$(head -n "$limit" <<<"$words" | paste -sd ' ') and $((n - limit)) more"
  else
    paste -sd ' ' <<<"$words"
  fi
}

# The mnemonic of each instruction that objdump decodes, one a line, with
# the function it lies in: "function mnemonic".
instructions() {
  awk '/^[0-9a-f]+ <.*>:$/ { f = $2; gsub(/[<>:]/, "", f); next }
       /^ *[0-9a-f]+:\t/ { n = split($0, part, "\t"); if (n >= 3) { split(part[3], m, " "); print f, m[1] } }'
}

# --- versions: GLIBC_2.2 or older --------------------------------------------
version_newer() {  # is GLIBC_x newer than GLIBC_2.2?
  [ "$(printf '%s\n%s\n' "$1" GLIBC_2.2 | sort -V | tail -n1)" != GLIBC_2.2 ]
}
too_new=""
while read -r sym; do
  name=${sym%%@*}
  version=${sym##*@}
  version_newer "$version" && too_new+="$name@$version"$'\n'
done < <(awk '$7 == "UND" { print $8 }' <<<"$dynsyms" | grep -o '^[^ ]*@GLIBC_[0-9.]*' || true)
if [ -z "$too_new" ]; then
  newest=$(grep -o '@GLIBC_[0-9.]*' <<<"$dynsyms" | tr -d @ | sort -V -u | tail -n1 || true)
  row 1 versions "symbol versions GLIBC_2.2 or older (newest ${newest:-none})"
else
  row 0 versions "symbol versions GLIBC_2.2 or older" "$(printf '%s' "$too_new" | some 6)"
fi

# --- needed: libc.so.6 and libfreetype.so.6 ----------------------------------
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
extra=$(grep -v -x -e libc.so.6 -e libfreetype.so.6 <<<"$needed" || true)
if [ -z "$extra" ]; then
  row 1 needed "NEEDED only libc.so.6 and libfreetype.so.6 ($(paste -sd ' ' <<<"$needed"))"
else
  row 0 needed "NEEDED only libc.so.6 and libfreetype.so.6" "also $(some 6 <<<"$extra")"
fi

# --- fpu: no floating-point instruction -------------------------------------
fpu=$(instructions <<<"$code" |
      awk '$2 ~ /^(f[a-z]+\.?|lf[a-z]+|stf[a-z]+|mffs\.?|mtfs[a-z0-9]*\.?|mcrfs)$/' || true)
if [ -z "$fpu" ]; then
  row 1 fpu "no FPU instructions"
else
  row 0 fpu "no FPU instructions" \
    "$(grep -c . <<<"$fpu") in $(awk '{ print $1 }' <<<"$fpu" | some 4)"
fi

# --- 405-only: nothing the MPC823 lacks --------------------------------------
only_405=$(instructions <<<"$code_405" |
           awk '$2 ~ /^((n?mac|mul)(chw|hhw|lhw)[su]*o?\.?|dlmzb\.?|dccci|iccci|dcread|icread|icbt|tlbre|tlbwe|tlbsx\.?|m[ft]dcr|wrteei?|rfci)$/' || true)
if [ -z "$only_405" ]; then
  row 1 405-only "no 405-only instructions"
else
  row 0 405-only "no 405-only instructions" \
    "$(grep -c . <<<"$only_405") ($(awk '{ print $2 }' <<<"$only_405" | some 4)) in $(awk '{ print $1 }' <<<"$only_405" | some 4)"
fi

# --- old PLT: no DT_PPC_GOT ---------------------------------------------------
if grep -q '(PPC_GOT)' <<<"$dynamic"; then
  row 0 "old PLT" "no secure PLT" "DT_PPC_GOT present (linked with the secure PLT; link with --bss-plt)"
else
  row 1 "old PLT" "no secure PLT (no DT_PPC_GOT)"
fi

# --- DT_HASH ------------------------------------------------------------------
if grep -q '(HASH)' <<<"$dynamic"; then
  row 1 DT_HASH "DT_HASH present"
else
  row 0 DT_HASH "DT_HASH present" "only $(grep -q '(GNU_HASH)' <<<"$dynamic" && echo DT_GNU_HASH || echo 'no hash table') (link with --hash-style=both)"
fi

# --- not PIE ------------------------------------------------------------------
type=$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' <<<"$header")
if [ "$type" = EXEC ] && ! grep -q '(FLAGS_1).*PIE' <<<"$dynamic"; then
  row 1 "not PIE" "not PIE (ELF type EXEC)"
else
  row 0 "not PIE" "not PIE" "ELF type $type$(grep -q '(FLAGS_1).*PIE' <<<"$dynamic" && echo ', DF_1_PIE') (link with -no-pie)"
fi

# --- no TLS -------------------------------------------------------------------
if grep -q '^ *TLS ' <<<"$segments"; then
  tls_size=$(awk '$1 == "TLS" { print $6 }' <<<"$segments" | head -n1)
  tls_names=$(awk '$4 == "TLS" { print $8 }' <<<"$allsyms" | some 4)
  row 0 "no TLS" "no TLS segment" "a TLS segment of $((tls_size)) bytes${tls_names:+ ($tls_names)}"
else
  row 1 "no TLS" "no TLS segment"
fi

# --- ABI note: Linux 2.4 or older ----------------------------------------------
abi=$(sed -n 's/.*OS: Linux, ABI: \([0-9.]*\).*/\1/p' <<<"$notes" | head -n1)
if [ -z "$abi" ]; then
  row 1 "ABI note" "no ABI note newer than Linux 2.4 (none)"
elif [ "$(printf '%s\n%s\n' "$abi" 2.4.99 | sort -V | tail -n1)" = 2.4.99 ]; then
  row 1 "ABI note" "no ABI note newer than Linux 2.4 (Linux $abi)"
else
  row 0 "ABI note" "no ABI note newer than Linux 2.4" "Linux $abi"
fi

# --- symbols: no UNIQUE or IFUNC ---------------------------------------------
odd=$(awk '$4 == "IFUNC" || $5 == "UNIQUE" { print $8 }' <<<"$allsyms"$'\n'"$dynsyms" || true)
if [ -z "$odd" ]; then
  row 1 symbols "no UNIQUE or IFUNC symbols"
else
  row 0 symbols "no UNIQUE or IFUNC symbols" "$(some 6 <<<"$odd")"
fi

echo "box-gate: $file: $((10 - failed)) of 10 rows passed"
[ "$failed" -eq 0 ]
