#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# box-libc.sh -- a box's C library for the emulator: GNU libc for generic
# 32-bit PowerPC without an FPU, built from Debian's own source package with
# Debian's cross compiler, and the soft-float arithmetic routines it needs
# built from Debian's GCC 12 source (Debian's libgcc.a for PowerPC is
# hard-float).
#
#   scripts/box-libc.sh           build it unless the cache holds it; print its root
#   scripts/box-libc.sh --print   print where its root would be, build nothing
#
# The result is kept outside any build tree, keyed by the two source
# packages' versions and this recipe's own version, so that only the first run
# on a machine pays for it (about a quarter of an hour on two cores):
#
#   ${KAVRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro}/box-libc/KEY/
#     root/lib/ld.so.1, libc.so.6   the loader and the C library (qemu's -L)
#     softfp/libsoftfp.a            the soft-float routines
#     build.log.gz                  how it went (build.log while building)
#
# Only the libraries are built (no programs, locales or tests). Both are
# checked with objdump before they are kept: no FPU instruction, and none of
# the data-cache instructions that qemu's mpc8xx model lacks (below).
set -euo pipefail

script_name=box-libc
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The recipe's version: raise it when the flags or the changes below change,
# so that an older cached build is not taken for this one.
recipe=2
cflags_box="-mcpu=powerpc -msoft-float"
print_option "$@"

glibc_version=$(source_version glibc)
gcc_version=$(source_version gcc-12)
key="glibc-$glibc_version-gcc-$gcc_version-r$recipe"
start_cache box-libc "$key"
need_tools -gcc -objdump -readelf -ar gawk bison python3 make dpkg-source xz

mkdir -p "$work/src"

# ------------------------------------------------------------------ sources

say "fetching glibc $glibc_version and gcc-12 $gcc_version (apt-get source)"
(cd "$work/src" && apt-get source --download-only -qq glibc gcc-12 >>"$log" 2>&1) ||
  fail "apt-get source failed; see $log"

# -------------------------------------------------- soft-float arithmetic

# GCC's own list for a PowerPC without FPU: the soft-fp routines of single
# and double precision with their integer conversions, the IBM 128-bit long
# double routines, and the libgcc2 functions that are floating point (long
# double from and to 64-bit integers, powers, complex products and
# quotients). All compiled with the C library's own flags.
softfp_routines() {
  local m i
  for m in sf df; do
    echo add${m}3 sub${m}3 mul${m}3 div${m}3 neg${m}2 eq${m}2 ge${m}2 le${m}2 unord${m}2
    for i in si di; do
      echo fix${m}${i} fixuns${m}${i} float${i}${m} floatun${i}${m}
    done
  done
  echo extendsfdf2 truncdfsf2
}
libgcc2_routines="fixtfdi fixunstfdi floatditf floatunditf powisf2 powidf2 powitf2
                  mulsc3 muldc3 multc3 divsc3 divdc3 divtc3"

build_softfp() {
  local gcc_src=$work/gcc tarball
  mkdir -p "$gcc_src"
  tarball=$(find "$work/src" -maxdepth 1 -name "gcc-12_*.orig.tar.*" | head -n1)
  [ -n "$tarball" ] || fail "no gcc-12 orig tarball in $work/src"
  # The Debian source package wraps GCC's own tarball; only libgcc and the
  # shared headers are needed from it.
  tar -xf "$tarball" -C "$gcc_src" --wildcards '*/gcc-*-dfsg.tar.*' >>"$log" 2>&1 ||
    fail "unpacking $tarball failed"
  local inner
  inner=$(find "$gcc_src" -name 'gcc-*-dfsg.tar.*' | head -n1)
  [ -n "$inner" ] || fail "no GCC tarball inside $tarball"
  mkdir -p "$gcc_src/inner"
  tar -xf "$inner" -C "$gcc_src/inner" --wildcards '*/libgcc/*' '*/include/*' >>"$log" 2>&1 ||
    fail "unpacking $inner failed"
  rm -f "$inner"
  local top
  top=$(find "$gcc_src/inner" -mindepth 1 -maxdepth 1 -type d | head -n1)
  local L=$top/libgcc stub=$work/softfp-stub obj=$work/softfp-obj
  mkdir -p "$stub" "$obj" "$out/softfp"
  # What GCC's own build would generate for this target: the word size, and
  # empty configuration headers.
  printf '#define MIN_UNITS_PER_WORD 4\n#define LIBGCC2_UNITS_PER_WORD 4\n' >"$stub/tm.h"
  : >"$stub/tconfig.h"; : >"$stub/libgcc_tm.h"; : >"$stub/coretypes.h"
  printf '#include <stddef.h>\n#include <float.h>\n#include <stdlib.h>\n#include <limits.h>\n' >"$stub/tsystem.h"
  local cc=($triple-gcc $cflags_box -O2 -fPIC -fbuilding-libgcc -fno-stack-protector
            -mlong-double-128 -mabi=ibmlongdouble -Wno-psabi
            -I"$stub" -I"$L/config/rs6000" -I"$L/soft-fp" -I"$L" -I"$top/include")
  local f
  for f in $(softfp_routines); do
    "${cc[@]}" -c "$L/soft-fp/$f.c" -o "$obj/$f.o" >>"$log" 2>&1 || fail "soft-fp $f.c failed; see $log"
  done
  for f in $libgcc2_routines; do
    "${cc[@]}" -DL_$f -c "$L/libgcc2.c" -o "$obj/_$f.o" >>"$log" 2>&1 || fail "libgcc2 $f failed; see $log"
  done
  "${cc[@]}" -c "$L/config/rs6000/ibm-ldouble.c" -o "$obj/ibm-ldouble.o" >>"$log" 2>&1 ||
    fail "ibm-ldouble.c failed; see $log"
  rm -f "$out/softfp/libsoftfp.a"
  $triple-ar rcs "$out/softfp/libsoftfp.a" "$obj"/*.o
  check_instructions "$out/softfp/libsoftfp.a"
  rm -rf "$gcc_src"
}

# ------------------------------------------------------------ the C library

build_glibc() {
  local src=$work/glibc bld=$work/glibc-build dsc
  dsc=$(find "$work/src" -maxdepth 1 -name 'glibc_*.dsc' | head -n1)
  dpkg-source -x "$dsc" "$src" >>"$log" 2>&1 || fail "dpkg-source -x $dsc failed; see $log"

  # qemu 7.2's mpc8xx model lacks the data-cache instructions dcbt, dcbtst,
  # dcbz, dcbf and dcbst that the real MPC823 has. This is a gap of the
  # emulator, not of the boxes: only the emulator's C library goes without
  # them. The generic C string functions replace PowerPC's memset (dcbz)
  # and strncmp (dcbt); the loader's flush of the PLT it writes skips the
  # dcbst (the emulator keeps data and instructions coherent anyway).
  rm -f "$src/sysdeps/powerpc/powerpc32/memset.S" "$src/sysdeps/powerpc/powerpc32/strncmp.S"
  sed -i 's|^#define PPC_DCBST(where) asm volatile ("dcbst 0,%0" : : "r"(where) : "memory")$|#define PPC_DCBST(where) do { } while (0)|' \
    "$src/sysdeps/powerpc/powerpc32/dl-machine.c"
  grep -q '^#define PPC_DCBST(where) do { } while (0)$' "$src/sysdeps/powerpc/powerpc32/dl-machine.c" ||
    fail "the loader's dcbst is not where it was in $src/sysdeps/powerpc/powerpc32/dl-machine.c"

  # The boxes' C libraries run the init function that the program's start
  # hands them, and nothing else; glibc 2.34 and later ignore it and run the
  # program's constructors themselves. This one does as the boxes' do, so
  # that a program whose start runs no constructors shows it here too.
  local start=$src/sysdeps/unix/sysv/linux/powerpc/libc-start.c
  grep -q '^			     NULL, NULL, rtld_fini,$' "$start" ||
    fail "the start's call is not where it was in $start"
  sed -i 's/^			     NULL, NULL, rtld_fini,$/			     stinfo->init, stinfo->fini, rtld_fini,/' "$start"

  mkdir -p "$bld"
  # Debian's cross compiler, told to make code for any 32-bit PowerPC
  # without FPU; glibc picks its nofpu variant from the compiler.
  (
    cd "$bld"
    "$src/configure" --host=$triple --build="$(gcc -dumpmachine)" --prefix=/usr \
      CC="$triple-gcc $cflags_box" CXX="$triple-g++ $cflags_box" \
      CFLAGS="-O2 -g0" \
      --with-headers=/usr/$triple/include \
      --disable-werror --disable-profile --disable-nscd --disable-build-nscd \
      --disable-timezone-tools --disable-crypt --without-selinux --without-gd \
      --enable-stack-protector=no --disable-sanity-checks
  ) >>"$log" 2>&1 || fail "configuring glibc failed; see $log"
  grep -q 'nofpu' "$bld/config.make" "$bld/sysd-dirs" 2>/dev/null ||
    fail "glibc did not choose its PowerPC variant without FPU; see $bld/sysd-dirs"

  # libgcc: the soft-float routines first, Debian's libgcc.a after them for
  # the integer helpers only. Makeconfig sets libc.so-gnulib inside its
  # "ifndef gnulib" block, so a gnulib given here must set it too.
  local gnulib="$out/softfp/libsoftfp.a -lgcc"
  make -C "$bld" -j"$jobs" gnulib="$gnulib" libc.so-gnulib="$gnulib" static-gnulib="$gnulib" \
    lib >>"$log" 2>&1 || fail "building glibc failed; see $log"
  make -C "$bld" -j"$jobs" gnulib="$gnulib" libc.so-gnulib="$gnulib" static-gnulib="$gnulib" \
    "$bld/elf/ld.so" >>"$log" 2>&1 || fail "building glibc's loader failed; see $log"

  mkdir -p "$out/root/lib"
  cp "$bld/libc.so" "$out/root/lib/libc.so.6"
  cp "$bld/elf/ld.so" "$out/root/lib/ld.so.1"
  local f
  for f in libc.so.6 ld.so.1; do
    check_instructions "$out/root/lib/$f"
  done
}

say "building into $out"
build_softfp
say "soft-float routines done in $((SECONDS - started)) s"
build_glibc
finish_cache
