#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# box-gate.sh -- would a box's own loader start this program, or load this
# plugin, and its core run it? A check of the file alone, without running
# it: the boxes (PowerPC 405 and MPC823 cores without FPU, a C library from
# 2001-2006, kernels 2.4 and 2.6) refuse a file for reasons that an emulator
# with today's C library never shows. Every row checks what the file holds
# against a list of what the boxes have (the lists in scripts/box-gate/, each
# naming its source), not against a list of known faults.
#
#   scripts/box-gate.sh FILE
#
# FILE is a 32-bit big-endian PowerPC ELF file of one of two kinds, told
# apart by the file itself:
#   program        ELF type EXEC, or DYN with an interpreter (a PIE, which
#                  the not PIE row refuses): kavro-install, kavro-install-uclibc
#   shared object  ELF type DYN without an interpreter: a plugin (kavro.so)
#                  that the box's menu loads with dlopen
# Its C library is that of the loader it names (a program) or of the
# libc.so it needs (a shared object: libc.so.0 is uClibc's; any other,
# libc.so.6 or none, is checked as glibc's).
#
# Prints one line per row, PASS or FAIL with what failed, or N/A for a row
# that does not apply to the file's kind, and a last line with the count.
# Exit status:
#   0  every row that applies passes
#   1  a row fails
#   2  FILE cannot be checked: missing, not a 32-bit big-endian PowerPC ELF
#      program or shared object (an object file, a core...), no section
#      table, bytes of an executable segment that are not code the gate
#      disassembles (the rows still print, then the reason), no binutils for
#      PowerPC, a list missing.
#
# What the loader reads, the gate reads: the program headers, the dynamic
# section, its symbols, versions and relocations, the notes, all found
# through the program headers as the loader finds them, on a copy of the
# file without its section table. The code alone it finds through the
# section table, which is why there must be one, and why every byte of every
# executable segment must lie in a section it disassembles (or be zero
# padding between them); in a segment that is also writable (the old PLT's
# data segment, which the loader writes the PLT into) the program's data is
# named but not read as code.
#
# The rows every box file shares, whatever its C library ("all": programs
# and shared objects; "program": programs only):
#   instructions  all      every word of the code decodes for the PowerPC 405
#                          and for the MPC8xx and is on instructions.list
#   fpu           all      no floating-point word: classic FPU, SPE, AltiVec,
#                          VSX, paired single, decimal (the cores have no FPU)
#   relocations   all      every dynamic relocation's type is on
#                          relocations.list (a shared object: or on
#                          relocations-shared.list)
#   old PLT       all      no secure PLT (DT_PPC_GOT)
#   DT_HASH       all      the SysV hash table is there
#   not PIE       program  a fixed-address executable (ELF type EXEC)
#   no TLS        all      no thread-local storage segment
#   ABI note      all      no ABI note asking for a kernel newer than Linux
#                          2.4 (glibc's loader skips such a library too)
#   symbols       all      no UNIQUE or IFUNC symbols
#   search paths  all      no DT_RPATH or DT_RUNPATH
#   dynamic tags  all      every dynamic tag is on dynamic-tags.list (a
#                          shared object: or on dynamic-tags-shared.list)
# The rows of the file's C library:
#   interpreter   program  the C library's loader (glibc: exactly
#                          /lib/ld.so.1; uClibc: exactly /lib/ld-uClibc.so.0)
# glibc:
#   versions      all      every C library symbol version is GLIBC_2.2 or older
#   needed        all      it needs no shared library but libc.so.6 and
#                          libfreetype.so.6
#   functions     all      every symbol it imports from the C library is on
#                          glibc-2.2-functions.list with its version; one of
#                          glibc-moved.list is named with the library it
#                          lived in
# uClibc:
#   needed        all      it needs no shared library but libc.so.0 and
#                          libfreetype.so.6
#   functions     all      every symbol it imports from the C library is on
#                          uclibc-0.9.28-functions.list
#   no COPY       all      no COPY relocation: no data object of the C library
#                          is copied into the file, whose layout the box's
#                          library would have to share
#
# The tools are the cross binutils: KAVRO_CROSS_PREFIX (default
# powerpc-linux-gnu-) precedes readelf and objdump. KAVRO_BOX_GATE_LISTS
# names another folder of lists.
set -euo pipefail

prefix=${KAVRO_CROSS_PREFIX:-powerpc-linux-gnu-}
readelf=${prefix}readelf
objdump=${prefix}objdump
lists=${KAVRO_BOX_GATE_LISTS:-$(cd "$(dirname "$0")" && pwd)/box-gate}

die() { echo "box-gate: $*" >&2; exit 2; }

[ $# -eq 1 ] || { echo "usage: scripts/box-gate.sh FILE" >&2; exit 2; }
file=$1
[ -f "$file" ] || die "$file: no such file"
for tool in "$readelf" "$objdump"; do
  command -v "$tool" >/dev/null || die "no $tool (the PowerPC binutils; KAVRO_CROSS_PREFIX sets the prefix)"
done
for list in instructions relocations relocations-shared dynamic-tags dynamic-tags-shared glibc-2.2-functions \
  glibc-moved uclibc-0.9.28-functions; do
  [ -f "$lists/$list.list" ] || die "no list $lists/$list.list"
done
header=$(LC_ALL=C "$readelf" -h "$file" 2>/dev/null) || die "$file: not an ELF file"
field() { sed -n "s/^ *$1: *//p" <<<"$header"; }
{ [ "$(field Class)" = ELF32 ] && [ "$(field Machine)" = PowerPC ]; } ||
  die "$file: not a 32-bit PowerPC ELF file ($(field Class), $(field Machine))"
[[ $(field Data) == *"big endian"* ]] || die "$file: not big-endian: the boxes' cores run big-endian code"
type=$(field Type | sed 's/ .*//')
[ "$type" = EXEC ] || [ "$type" = DYN ] ||
  die "$file: ELF type $(field Type): neither a program nor a shared object"
# No section table (e_shoff or e_shnum zero): the loader never reads one,
# but the gate finds the code through it.
if [ "$(field 'Start of section headers' | sed 's/ .*//')" = 0 ] ||
   [ "$(field 'Number of section headers')" = 0 ]; then
  die "$file cannot be checked: it has no section table, through which the gate finds the code to disassemble"
fi
sections=$(LC_ALL=C "$readelf" -W -S "$file" 2>&1) || die "$file cannot be checked: its section table cannot be read"
[[ $sections != *"readelf: Error"* ]] ||
  die "$file cannot be checked: its section table cannot be read"

# The file as the loader sees it: a copy without its section table (e_shoff,
# e_shnum and e_shstrndx zero), so that readelf takes the program headers
# and the dynamic section alone, whatever the section table says.
view=$(mktemp "${TMPDIR:-/tmp}/box-gate.XXXXXX")
trap 'rm -f "$view"' EXIT
cp "$file" "$view"
printf '\0\0\0\0' | dd of="$view" bs=1 seek=32 conv=notrunc status=none
printf '\0\0\0\0' | dd of="$view" bs=1 seek=48 conv=notrunc status=none

dynamic=$(LC_ALL=C "$readelf" -W -d "$view" 2>/dev/null || true)
segments=$(LC_ALL=C "$readelf" -W -l "$view" 2>/dev/null || true)
# The dynamic symbols through DT_SYMTAB and DT_HASH, with their versions
# through DT_VERSYM and DT_VERNEED.
dynsyms=$(LC_ALL=C "$readelf" -W -D -s "$view" 2>/dev/null || true)
# The full symbol table, where the file still has one: the symbols row's
# local symbols, and names for the TLS row.
allsyms=$(LC_ALL=C "$readelf" -W -s "$file" 2>/dev/null || true)
notes=$(LC_ALL=C "$readelf" -W -n "$view" 2>/dev/null || true)
# The relocations through DT_RELA and DT_JMPREL.
relocations=$(LC_ALL=C "$readelf" -W -D -r "$view" 2>/dev/null || true)

interpreter=$(sed -n 's/.*\[Requesting program interpreter: \(.*\)\]/\1/p' <<<"$segments")
if [ "$type" = DYN ] && [ -z "$interpreter" ]; then kind_of_file="shared object"; else kind_of_file=program; fi

# The sections marked executable, disassembled whole (-D): -d would show the
# bytes of a symbol typed as data (the old PLT's _GLOBAL_OFFSET_TABLE_ in
# .got) as bytes, not as the words the core would run.
code_sections=$(awk '/^ *\[ *[0-9]+\]/ {
                       sub(/^ *\[ *[0-9]+\] */, "")
                       if (NF >= 10 && $7 ~ /A/ && $7 ~ /X/ && $2 != "NOBITS") printf " -j %s", $1
                     }' <<<"$sections")

# Each word of the code three times: as binutils decodes it for the 405 and
# for the MPC8xx (base mnemonics), and for any PowerPC (to name it).
# An objdump that does not know a dialect decodes for its default one and
# only warns: that would pass anything, so it stops the gate.
disassemble() {
  local out status=0
  [ -n "$code_sections" ] || return 0
  # shellcheck disable=SC2086 # the -j options, one per section
  out=$(LC_ALL=C "$objdump" -D -z $code_sections "$@" "$file" 2>&1 >/dev/null) || status=$?
  [ "$status" -eq 0 ] || die "$file: objdump cannot disassemble it"
  [[ $out != *"unknown -M"* ]] || die "$objdump does not know the dialect $*: a binutils as new as Debian 12's knows it"
  # shellcheck disable=SC2086
  LC_ALL=C "$objdump" -D -z $code_sections "$@" "$file" 2>/dev/null
}
code_405=$(disassemble -M 405,raw)
code_8xx=$(disassemble -M 821,raw)
code_any=$(disassemble)

# --- what the gate disassembles: every byte of every executable segment -----
# The loader maps each PT_LOAD segment flagged executable; the CPU may run
# any byte of it. The gate reads as code the sections marked executable.
# Each executable segment must therefore hold nothing but: the words objdump
# decodes in those sections, each at the address the segment maps its file
# bytes to; zero bytes between them (the linker's alignment); and, in a
# segment that is also writable, the program's writable data (the old PLT's
# data segment: the loader writes the PLT there, the data is not code).
# Anything else (the ELF header, read-only data, code in a section not
# marked executable) is code the gate cannot tell from data.
# One line per finding: "bad WHAT", "gap OFFSET LENGTH ADDRESS SECTION"
# (bytes that must be zero), "data BYTES".
coverage=$(awk '
  function hex(h,   i, v) { h = tolower(h); sub(/^0x/, "", h); v = 0
                             for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
                             return v }
  function at(a,   i) { for (i = 1; i <= ns; i++) if (a >= sa[i] && a < sa[i] + sz[i]) return i; return 0 }
  FNR == 1 { part++ }
  part == 1 && $1 == "LOAD" {
    fl = ""; for (i = 7; i < NF; i++) fl = fl $i
    if (fl ~ /E/) { n++; so[n] = hex($2); sv[n] = hex($3); sf[n] = hex($5); sw[n] = fl ~ /W/ }
    if (fl ~ /W/) { nw++; wv[nw] = hex($3); we[nw] = hex($3) + hex($6) }
    next
  }
  part == 2 && /^ *\[ *[0-9]+\]/ {
    sub(/^ *\[ *[0-9]+\] */, "")
    fl = NF >= 10 ? $7 : ""
    if ($2 == "NOBITS" || $2 == "NULL" || fl !~ /A/ || hex($5) == 0) next
    ns++; name[ns] = $1; sa[ns] = hex($3); soff[ns] = hex($4); sz[ns] = hex($5)
    sx[ns] = fl ~ /X/; swr[ns] = fl ~ /W/
    next
  }
  part == 3 && /^ *[0-9a-f]+:\t/ {
    split($0, f, "\t"); a = f[1]; gsub(/[ :]/, "", a); b = f[2]; gsub(/ /, "", b)
    if (length(b) == 8) word[hex(a)] = 1
  }
  END {
    # The old PLT table: a .got in a writable segment, never in the code.
    for (i = 1; i <= ns; i++)
      if (name[i] == ".got")
        for (w = 1; w <= nw; w++) if (sa[i] >= wv[w] && sa[i] + sz[i] <= we[w]) print "got-table", sa[i], sa[i] + sz[i]
    for (g = 1; g <= n; g++) {
      v = sv[g]; e = v + sf[g]; data = 0
      for (i = 1; i <= ns; i++)
        if (sa[i] < e && sa[i] + sz[i] > v && soff[i] - so[g] != sa[i] - v)
          printf "bad section %s: its bytes in the file are not those the segment at 0x%x maps to its address\n", name[i], v
      p = v
      while (p < e) {
        if (p in word) { p += 4; continue }
        s = at(p)
        if (s && !sx[s]) {
          q = sa[s] + sz[s]; if (q > e) q = e
          if (sw[g] && swr[s]) data += q - p
          else printf "bad %d bytes at 0x%x, section %s, not marked executable, in the executable segment at 0x%x\n", q - p, p, name[s], v
          p = q; continue
        }
        q = p + 1
        while (q < e && !(q in word) && at(q) == s) q++
        print "gap", so[g] + p - v, q - p, p, (s ? name[s] : "-")
        p = q
      }
      if (data) print "data", data
    }
  }' <(printf '%s\n' "$segments") <(printf '%s\n' "$sections") <(printf '%s\n' "$code_405"))
uncheckable=$(awk '$1 == "bad" { sub(/^bad /, ""); print }' <<<"$coverage")
while read -r _ offset length address section; do
  [ -z "$(od -An -v -tx1 -j "$offset" -N "$length" "$file" | tr -d ' \n0')" ] ||
    uncheckable+=$'\n'"$(printf '%d bytes at 0x%x %s, not zero and not decoded as code' "$length" "$address" \
      "$([ "$section" = - ] && echo 'in no section' || echo "in section $section")")"
done < <(grep '^gap ' <<<"$coverage")
uncheckable=$(grep -v '^$' <<<"$uncheckable" || true)
writable_data=$(awk '$1 == "data" { n += $2 } END { print n + 0 }' <<<"$coverage")
got_table=$(awk '$1 == "got-table" { print $2, $3 }' <<<"$coverage")

failed=0
rows=0
not_applying=0
# na NAME WHY: a row that does not apply to this kind of file.
na() {
  printf 'box-gate: N/A   %-12s %s\n' "$1" "$2"
  not_applying=$((not_applying + 1))
}
row() {  # row PASSED NAME WHAT [DETAIL]
  rows=$((rows + 1))
  if [ "$1" -eq 1 ]; then
    printf 'box-gate: PASS  %-12s %s\n' "$2" "$3"
  else
    printf 'box-gate: FAIL  %-12s %s: %s\n' "$2" "$3" "$4"
    failed=$((failed + 1))
  fi
}

# A list of words on one line, at most LIMIT of them and a count of the rest.
some() {
  sort -u | awk -v limit="$1" 'NF { if (++n <= limit) line = line (n > 1 ? " " : "") $0 }
                                END { if (n > limit) line = line " and " n - limit " more"; print line }'
}

# Findings, one a line, as "N: the first LIMIT of them; ...".
findings() {
  local limit=$1 all n
  all=$(cat)
  n=$(grep -c . <<<"$all")
  printf '%d: %s%s\n' "$n" "$(head -n "$limit" <<<"$all" | paste -sd ';' | sed 's/;/; /g')" \
    "$([ "$n" -le "$limit" ] || echo " and $((n - limit)) more")"
}

# The words of a list, one a line: comments and blank lines left out.
list_words() { awk '{ sub(/#.*/, ""); for (i = 1; i <= NF; i++) print $i }' "$lists/$1.list"; }
# The lines of a list of NAME VALUE lines.
list_lines() { awk '{ sub(/#.*/, "") } NF >= 2 { print $1, $2 }' "$lists/$1.list"; }

# ============================================================ shared rows

# --- instructions and fpu -----------------------------------------------------
# One line per word: verdict, where (function+offset), the word, what it is.
# Verdicts: ok, padding (zero words after a jump or return), got (the old PLT's
# .got: its one blrl and the table around it, data), fpu, and the word that
# is not on the list: not-405, not-8xx, neither, unlisted. A .got outside a
# writable segment is no old PLT table: its words are checked as code.
words=$(awk -v allowed="$(list_words instructions)" -v got_table="$got_table" '
  BEGIN {
    n = split(allowed, al, "\n")
    for (i = 1; i <= n; i++) {
      if (index(al[i], "=")) { split(al[i], f, "="); form[f[1] " " f[2]] = 1; restricted[f[1]] = 1 }
      else plain[al[i]] = 1
    }
  }
  function fp(m) {
    return m ~ /^(f[a-z0-9]*\.?|lf[a-z]+|stf[a-z]+|mffs[a-z]*\.?|mtfs[a-z0-9]*\.?|mcrfs)$/ ||  # classic FPU
           m ~ /^(efs|efd|evfs)[a-z]*$/ ||                                                 # SPE
           m ~ /^(v[a-z]*fp|vcf[su]x|vct[su]xs|vrfi[nmpz])$/ ||                            # AltiVec
           m ~ /^(xs|xv|lxs|stxs)[a-z0-9]*\.?$/ ||                                         # VSX
           m ~ /^psq?_[a-z0-9_.]+$/ ||                                                     # paired single
           m ~ /^d(add|sub|mul|div|cmp[ou]|tst[a-z]+|qua[a-z]*|rrnd|rint[a-z]*|ctdp|ctqpq|rsp|rdpq|cffix|ctfix|dedpd|enbcd|xex|iex|scli|scri)q?\.?$/  # decimal
  }
  # The words of one disassembly: address -> mnemonic and operands; the
  # section and function of each address from the first.
  function hex(h,   i, v) { v = 0; for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1; return v }
  function in_got(a,   i, t, r) { t = split(got_table, r, /[ \n]/)
                                   for (i = 1; i + 1 <= t; i += 2) if (hex(a) >= r[i] && hex(a) < r[i + 1]) return 1
                                   return 0 }
  FNR == 1 { part_no++ }
  /^Disassembly of section / { sec = $4; sub(/:$/, "", sec); next }
  /^[0-9a-f]+ <.*>:$/ { fn = $2; gsub(/^<|>:$/, "", fn); fn_at = hex($1); next }
  /^ *[0-9a-f]+:\t/ {
    k = split($0, p, "\t")
    addr = p[1]; gsub(/[ :]/, "", addr)
    bytes = p[2]; gsub(/ /, "", bytes)
    if (length(bytes) != 8) next            # data objects objdump shows as bytes
    mn = ""; ops = ""
    if (k >= 3) { mn = p[3]; sub(/ .*/, "", mn); if (k >= 4) ops = p[4]; else { ops = p[3]; sub(/^[^ ]* */, "", ops) } }
    sub(/ *<.*/, "", ops); gsub(/r[0-9]+/, "r", ops); gsub(/ /, "", ops)
    if (part_no == 1) {
      order[++count] = addr; word[addr] = bytes; section[addr] = sec
      off = hex(addr) - fn_at
      where[addr] = fn (off ? sprintf("+0x%x", off) : "")
      m405[addr] = mn; o405[addr] = ops
    } else if (part_no == 2) m8xx[addr] = mn
    else { many[addr] = mn }
  }
  END {
    for (i = 1; i <= count; i++) {
      a = order[i]; m = m405[a]
      if (section[a] == ".got" && in_got(a)) { print "got", where[a], word[a], m; continue }
      # A zero word is not an instruction; the linker and assembler put it
      # between functions to align them: after a jump, a return or another.
      if (word[a] == "00000000") {
        ends = i > 1 && section[order[i - 1]] == section[a] &&
               (m405[order[i - 1]] ~ /^(b|ba|padding)$/ ||
                (m405[order[i - 1]] ~ /^bc(lr|ctr)$/ && o405[order[i - 1]] ~ /^20,/))
        if (ends) { m405[a] = "padding"; print "padding", where[a], word[a], "-"; continue }
      }
      name = (many[a] == ".long" ? m : many[a])
      on405 = m != ".long"; on8xx = m8xx[a] != ".long"
      listed = on405 && on8xx && (restricted[m] ? ((m " " o405[a]) in form) : (m in plain))
      if (listed) verdict = "ok"
      else if (fp(m) || fp(many[a])) verdict = "fpu"
      else if (!on405 && !on8xx) verdict = "neither"
      else if (!on405) verdict = "not-405"
      else if (!on8xx) verdict = "not-8xx"
      else { verdict = "unlisted"; name = (many[a] != m ? many[a] " = " : "") m (o405[a] != "" ? " " o405[a] : "") }
      print verdict, where[a], word[a], name
    }
  }' <(printf '%s\n' "$code_405") <(printf '%s\n' "$code_8xx") <(printf '%s\n' "$code_any"))

read -r code_words padding got_words got_blrl < <(awk '
  $1 != "got" { code++ } $1 == "padding" { pad++ } $1 == "got" { got++; if ($3 == "4e800021") blrl++ }
  END { print code + 0, pad + 0, got + 0, blrl + 0 }' <<<"$words")
bad=$(awk '$1 ~ /^(neither|not-405|not-8xx|unlisted)$/ {
             why = $1 == "neither" ? "on neither core" : $1 == "not-405" ? "not on the PowerPC 405" :
                   $1 == "not-8xx" ? "not on the MPC8xx" : "not on the list"
             name = $4; for (i = 5; i <= NF; i++) name = name " " $i
             print $2 ": " $3 " (" name ", " why ")" }' <<<"$words")
got_note=""
if [ "$got_words" -gt 0 ]; then
  got_note="; .got is the old PLT's table: $got_blrl blrl and $((got_words - got_blrl)) words of data"
  # Anything but the one blrl would be code the old PLT does not make.
  [ "$got_blrl" -eq 1 ] || bad+=$'\n'".got: $got_blrl blrl words where the old PLT has one"
fi
bad=$(grep -v '^$' <<<"$bad" || true)
if [ -z "$bad" ]; then
  data_note=""
  [ "$writable_data" -eq 0 ] ||
    data_note="; the writable executable segment (the old PLT's) holds $writable_data bytes of data, not read as code"
  row 1 instructions "every word on both cores' list ($((code_words - padding)) words; $padding zero words of alignment padding$got_note$data_note)"
else
  row 0 instructions "every word on both cores' list" "$(findings 8 <<<"$bad")"
fi

fpu=$(awk '$1 == "fpu" { print $2 ": " $3 " (" $4 ")" }' <<<"$words")
if [ -z "$fpu" ]; then
  row 1 fpu "no floating-point instructions"
else
  row 0 fpu "no floating-point instructions" "$(findings 8 <<<"$fpu")"
fi

# --- relocations: types the old loaders know ---------------------------------
reloc_types=$(awk '$3 ~ /^R_PPC_/ { print $3 }' <<<"$relocations")
# A shared object may also carry the types of code that is not
# position-independent, which the loaders patch into its text.
if [ "$kind_of_file" = "shared object" ]; then reloc_lists="relocations relocations-shared"; else reloc_lists=relocations; fi
unknown=$(grep -v -x -F -f <(for list in $reloc_lists; do list_words "$list"; done) <<<"$reloc_types" | grep -v '^$' | sort | uniq -c | awk '{ print $2 " (" $1 ")" }' || true)
if [ -z "$unknown" ]; then
  row 1 relocations "dynamic relocations of the old loaders' types ($(some 6 <<<"$reloc_types"))"
else
  row 0 relocations "dynamic relocations of the old loaders' types" "$(paste -sd ' ' <<<"$unknown")"
fi

# --- old PLT: no DT_PPC_GOT ---------------------------------------------------
if [[ $dynamic == *'(PPC_GOT)'* ]]; then
  row 0 "old PLT" "no secure PLT" "DT_PPC_GOT present (linked with the secure PLT; link with --bss-plt)"
else
  row 1 "old PLT" "no secure PLT (no DT_PPC_GOT)"
fi

# --- DT_HASH ------------------------------------------------------------------
if [[ $dynamic == *'(HASH)'* ]]; then
  row 1 DT_HASH "DT_HASH present"
else
  if [[ $dynamic == *'(GNU_HASH)'* ]]; then hash='only DT_GNU_HASH'; else hash='no hash table'; fi
  row 0 DT_HASH "DT_HASH present" "$hash (link with --hash-style=sysv)"
fi

# --- not PIE ------------------------------------------------------------------
pie=""
[[ $dynamic != *'(FLAGS_1)'*PIE* ]] || pie=', DF_1_PIE'
if [ "$kind_of_file" = "shared object" ]; then
  na "not PIE" "a shared object is position-independent by nature (ELF type DYN, no interpreter)"
elif [ "$type" = EXEC ] && [ -z "$pie" ]; then
  row 1 "not PIE" "not PIE (ELF type EXEC)"
else
  row 0 "not PIE" "not PIE" "ELF type $type$pie (link with -no-pie)"
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

# --- search paths: the box's own library folders only --------------------------
# A search path names a folder of the build machine, and an empty element
# (a trailing colon) is the current folder: the installer runs as root in
# /tmp, where anyone on the box can leave a library.
paths=$(sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/DT_\1 \2/p' <<<"$dynamic")
if [ -z "$paths" ]; then
  row 1 "search paths" "no DT_RPATH or DT_RUNPATH"
else
  row 0 "search paths" "no DT_RPATH or DT_RUNPATH" "$(paste -sd ';' <<<"$paths" | sed 's/;/; /g')"
fi

# --- dynamic tags: those an old loader knows -----------------------------------
# DT_RPATH, DT_RUNPATH and DT_PPC_GOT have rows of their own.
tags=$(sed -n 's/^ *0x[0-9a-f]* (\([A-Za-z0-9_]*\)).*/\1/p' <<<"$dynamic" | grep -v -x -e RPATH -e RUNPATH -e PPC_GOT || true)
if [ "$kind_of_file" = "shared object" ]; then tag_lists="dynamic-tags dynamic-tags-shared"; else tag_lists="dynamic-tags"; fi
unknown=$(grep -v -x -F -f <(for list in $tag_lists; do list_words "$list"; done) <<<"$tags" || true)
if [ -z "$unknown" ]; then
  row 1 "dynamic tags" "only dynamic tags the old loaders know ($(grep -c . <<<"$tags" || true) entries)"
else
  row 0 "dynamic tags" "only dynamic tags the old loaders know" "$(sed 's/^/DT_/' <<<"$unknown" | some 6)"
fi

# ======================================================== C library rows

# The C libraries a box program may be built for, told apart by the
# interpreter the file names: "INTERPRETER KIND", and a function KIND_rows
# with that library's rows. A file naming none of them fails the
# interpreter row and is checked as the box build's kind, glibc.
libc_kinds=("/lib/ld.so.1 glibc" "/lib/ld-uClibc.so.0 uclibc")

glibc_rows() {
  # --- versions: GLIBC_2.2 or older -------------------------------------------
  local too_new
  too_new=$(awk '$7 == "UND" && $8 ~ /@GLIBC_[0-9.]+/ {
                   s = $8; sub(/ .*/, "", s); v = s; sub(/.*@GLIBC_/, "", v)
                   n = split(v, p, ".")
                   if ((p[1] * 1000 + p[2]) * 1000 + (n > 2 ? p[3] : 0) > 2002000) print s
                 }' <<<"$dynsyms")
  if [ -z "$too_new" ]; then
    local newest
    newest=$(grep -o '@GLIBC_[0-9.]*' <<<"$dynsyms" | tr -d @ | sort -V -u | tail -n1 || true)
    row 1 versions "symbol versions GLIBC_2.2 or older (newest ${newest:-none})"
  else
    row 0 versions "symbol versions GLIBC_2.2 or older" "$(printf '%s' "$too_new" | some 6)"
  fi

  # --- needed: libc.so.6 and libfreetype.so.6 ---------------------------------
  local needed extra
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  extra=$(grep -v -x -e libc.so.6 -e libfreetype.so.6 <<<"$needed" || true)
  if [ -z "$extra" ]; then
    row 1 needed "NEEDED only libc.so.6 and libfreetype.so.6 ($(paste -sd ' ' <<<"$needed"))"
  else
    row 0 needed "NEEDED only libc.so.6 and libfreetype.so.6" "also $(some 6 <<<"$extra")"
  fi

  # --- functions: on the list of the box's libc.so.6 --------------------------
  # Every symbol with a GLIBC_ version that the program takes from outside,
  # called (undefined) or copied into it (stdout, stderr). Unversioned ones
  # come from libraries without versions (FreeType); the needed row checks
  # those libraries.
  local imports verdicts
  imports=$(awk '$8 ~ /@GLIBC_/ && $8 !~ /@@/ { s = $8; sub(/ .*/, "", s); print s }' <<<"$dynsyms" | sort -u)
  verdicts=$(awk -v listed="$(list_lines glibc-2.2-functions)" -v moved="$(list_lines glibc-moved)" '
    BEGIN {
      n = split(listed, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], f, " "); ok[f[1] "@" f[2]] = 1; has[f[1]] = has[f[1]] " " f[1] "@" f[2] }
      n = split(moved, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], f, " "); lived[f[1]] = f[2] }
    }
    NF {
      name = $0; sub(/@.*/, "", name)
      if ($0 in ok) print "ok", $0
      else if (name in lived) print "moved", $0 " (in " lived[name] " on the boxes, not in libc.so.6)"
      else if (name in has) print "version", $0 " (the boxes have" has[name] ")"
      else print "unlisted", $0
    }' <<<"$imports")
  local wrong unlisted count
  count=$(grep -c . <<<"$imports" || true)
  wrong=$(awk '$1 == "moved" || $1 == "version" { $1 = ""; sub(/^ /, ""); print }' <<<"$verdicts")
  unlisted=$(awk '$1 == "unlisted" { print $2 }' <<<"$verdicts")
  if [ -z "$wrong$unlisted" ]; then
    row 1 functions "every C library import on the list of glibc 2.2's libc.so.6 ($count)"
  else
    local detail=""
    [ -z "$wrong" ] || detail=$(findings 6 <<<"$wrong")
    [ -z "$unlisted" ] || detail+="${detail:+; }not on the list: $(some 6 <<<"$unlisted") (check each in glibc's libc.abilist and glibc-moved.list, then add it to $lists/glibc-2.2-functions.list)"
    row 0 functions "every C library import on the list of glibc 2.2's libc.so.6" "$detail"
  fi
}

uclibc_rows() {
  # --- needed: libc.so.0 and libfreetype.so.6 ---------------------------------
  local needed extra
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  extra=$(grep -v -x -e libc.so.0 -e libfreetype.so.6 <<<"$needed" || true)
  if [ -z "$extra" ]; then
    row 1 needed "NEEDED only libc.so.0 and libfreetype.so.6 ($(paste -sd ' ' <<<"$needed"))"
  else
    row 0 needed "NEEDED only libc.so.0 and libfreetype.so.6" "also $(some 6 <<<"$extra")"
  fi

  # --- functions: on the list of uClibc 0.9.28's libc.so.0 --------------------
  # uClibc has no symbol versions: every symbol the program takes from
  # outside (undefined, or copied into it) is the C library's, but FreeType's
  # (FT_*; the needed row checks that library).
  local imports unlisted count
  imports=$({ awk '$7 == "UND" && $8 != "" { print $8 }' <<<"$dynsyms"
              awk '$3 == "R_PPC_COPY" { print $5 }' <<<"$relocations"; } | grep -v '^FT_' | sort -u || true)
  count=$(grep -c . <<<"$imports" || true)
  unlisted=$(grep -v -x -F -f <(list_words uclibc-0.9.28-functions) <<<"$imports" || true)
  if [ -z "$unlisted" ]; then
    row 1 functions "every C library import on the list of uClibc 0.9.28's libc.so.0 ($count)"
  else
    row 0 functions "every C library import on the list of uClibc 0.9.28's libc.so.0" \
      "not on the list: $(some 6 <<<"$unlisted") (check each in uClibc 0.9.28's source, then add it to $lists/uclibc-0.9.28-functions.list)"
  fi

  # --- no COPY: nothing of the C library copied into the program ---------------
  local copies
  copies=$(awk '$3 == "R_PPC_COPY" { print $5 }' <<<"$relocations")
  if [ -z "$copies" ]; then
    row 1 "no COPY" "no COPY relocations"
  else
    row 0 "no COPY" "no COPY relocations" "$(some 6 <<<"$copies") (reach them through a call or the global offset table)"
  fi
}

kind=""
known=""
if [ "$kind_of_file" = "shared object" ]; then
  # The program that loads it brings the loader; its C library is the one
  # it needs.
  if grep -q '(NEEDED).*\[libc\.so\.0\]' <<<"$dynamic"; then kind=uclibc; else kind=glibc; fi
  na interpreter "a shared object: the program that loads it names the loader (checked as $kind's, by the libc.so it needs)"
else
  for entry in "${libc_kinds[@]}"; do
    known+="${known:+ or }${entry% *}"
    [ "${entry% *}" != "$interpreter" ] || kind=${entry#* }
  done
  if [ -n "$kind" ]; then
    row 1 interpreter "the loader of a C library the boxes have: $interpreter ($kind)"
  else
    row 0 interpreter "the loader of a C library the boxes have ($known)" "${interpreter:-none}"
    kind=glibc
  fi
fi
"${kind}_rows"

echo "box-gate: $file ($kind_of_file): $((rows - failed)) of $rows rows passed$([ "$not_applying" -eq 0 ] ||
  echo ", $not_applying not applying")"
if [ -n "$uncheckable" ]; then
  echo "box-gate: $file cannot be checked: bytes of an executable segment are not code the gate disassembles:" \
    "$(findings 4 <<<"$uncheckable") (code belongs in a section marked executable; the box build links with" \
    "-z separate-code, which keeps the headers and read-only data out of the code's segment)" >&2
  exit 2
fi
[ "$failed" -eq 0 ]
