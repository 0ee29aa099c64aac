#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# box-uclibc.sh -- the C library of the boxes' uClibc images, for the
# emulator: uClibc-ng for generic 32-bit PowerPC without an FPU, built from
# Debian's own source package (uclibc-source) with Debian's cross compiler
# and the kernel headers of linux-libc-dev-powerpc-cross.
#
#   scripts/box-uclibc.sh           build it unless the cache holds it; print its root
#   scripts/box-uclibc.sh --print   print where its root would be, build nothing
#
# The result is kept outside any build tree, keyed by both packages'
# versions and this recipe's own version, so that only the first run on a
# machine pays for it (13 minutes on two cores while two other builds ran):
#
#   ${KAVRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro}/box-uclibc/KEY/
#     root/                    the root the box build links against and qemu's -L:
#       lib/ld-uClibc.so.0     the loader, under the name the boxes' images use
#       lib/libc.so.0          the C library
#       usr/lib/               start files, uclibc_nonshared.a
#       usr/include/           the C library's headers and the kernel's
#     build.log.gz             how it went (build.log while building)
#
# The boxes' images carry uClibc 0.9.28 to 0.9.30, whose files are named
# libc.so.0 and ld-uClibc.so.0; uClibc-ng counts 1 there, so the build is
# told the old number. The settings follow what such an image offers and
# what the installer must not lean on:
#   - no FPU and no floating point at all (Debian's libgcc.a for PowerPC is
#     hard-float and cannot be linked into soft-float code; the installer
#     prints no floating point);
#   - getc and putc as functions, not macros that read FILE's fields;
#   - no threads: errno is then a plain variable of the library, which the
#     box build reaches only through __errno_location();
#   - only the SysV hash table, and a loader that reads no other (as the old
#     ones): a program without it does not start here either;
#   - no loader cache or preload file: under qemu they would be this
#     machine's.
# Both libraries are checked with objdump before they are kept: no FPU
# instruction, and none of the data-cache instructions that qemu's mpc8xx
# model lacks (the loader's dcbst is left out for the emulator, as in
# scripts/box-libc.sh).
set -euo pipefail

script_name=box-uclibc
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The recipe's version: raise it when the settings or the changes below
# change, so that an older cached build is not taken for this one.
recipe=1
cflags_box="-mcpu=powerpc -msoft-float -mbss-plt -mlong-double-64"
print_option "$@"

uclibc_version=$(package_version uclibc-source)
headers_version=$(package_version linux-libc-dev-powerpc-cross)
key="uclibc-$uclibc_version-linux-$headers_version-r$recipe"
start_cache box-uclibc "$key"
need_tools -gcc -objdump -readelf make xz
tarball=$(dpkg -L uclibc-source | grep -E '/uClibc-ng-[0-9.]+\.tar\.xz$' | head -n1)
[ -f "$tarball" ] || fail "no uClibc-ng tarball in the package uclibc-source"

mkdir -p "$work/kernel"

# --------------------------------------------------------- kernel headers

# The package's own folders only: /usr/powerpc-linux-gnu/include also holds
# the cross GNU libc's headers, which must not be seen here.
say "kernel headers of linux-libc-dev-powerpc-cross $headers_version"
while read -r dir; do
  cp -a "$dir" "$work/kernel/"
done < <(dpkg -L linux-libc-dev-powerpc-cross | grep -E "^/usr/$triple/include/[^/]+$" |
         while read -r p; do [ -d "$p" ] && echo "$p"; done)
[ -f "$work/kernel/linux/version.h" ] && [ -d "$work/kernel/asm" ] ||
  fail "no kernel headers from linux-libc-dev-powerpc-cross"

# ---------------------------------------------------------------- uClibc

say "unpacking $(basename "$tarball") (uclibc-source $uclibc_version)"
tar -xf "$tarball" -C "$work" >>"$log" 2>&1 || fail "unpacking $tarball failed"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'uClibc-ng-*' | head -n1)
[ -n "$src" ] && [ -f "$src/debian/config-powerpc" ] || fail "no uClibc-ng tree with Debian's PowerPC settings in $work"

# qemu 7.2's mpc8xx model lacks dcbst (the real MPC823 has it): the loader's
# flush of the PLT it writes goes without it in the emulator's copy, which
# keeps data and instructions coherent anyway.
sysdep=$src/ldso/ldso/powerpc/dl-sysdep.h
grep -q '^#define PPC_DCBST(where) __asm__ __volatile__ ("dcbst 0,%0" : : "r"(where) : "memory")$' "$sysdep" ||
  fail "the loader's dcbst is not where it was in $sysdep"
sed -i 's|^#define PPC_DCBST(where) __asm__ .*$|#define PPC_DCBST(where) do { } while (0)|' "$sysdep"

# The loader is built under the boxes' name, ld-uClibc.so.0, itself (below):
# the link of that name to ld-uClibc.so.1 that uClibc-ng makes for older
# programs would point at itself.
ldso_make=$src/ldso/ldso/Makefile.in
compat_link='	(cd $(top_builddir)lib; ln -sf $(UCLIBC_LDSO_NAME).so.$(ABI_VERSION) $(UCLIBC_LDSO_NAME).so.0 )'
grep -qxF "$compat_link" "$ldso_make" || fail "the loader's compatibility link is not where it was in $ldso_make"
grep -vxF "$compat_link" "$ldso_make" >"$ldso_make.new" && mv "$ldso_make.new" "$ldso_make"

# Debian's PowerPC settings, changed where the boxes' images differ.
settings() {
  cat <<EOF
UCLIBC_HAS_FPU=n
UCLIBC_HAS_FLOATS=n
DO_C99_MATH=n
UCLIBC_HAS_FENV=n
UCLIBC_HAS_STDIO_GETC_MACRO=n
UCLIBC_HAS_STDIO_PUTC_MACRO=n
HAS_NO_THREADS=y
LINUXTHREADS_OLD=n
UCLIBC_HAS_WCHAR=n
UCLIBC_HAS_LOCALE=n
LDSO_GNU_HASH_SUPPORT=n
LDSO_CACHE_SUPPORT=n
LDSO_PRELOAD_FILE_SUPPORT=n
LDSO_LDD_SUPPORT=n
UCLIBC_STATIC_LDCONFIG=n
UCLIBC_BUILD_PIE=n
UCLIBC_HAS_PROFILING=n
UCLIBC_HAS_RPC=n
UCLIBC_HAS_IPV6=n
UCLIBC_HAS_REGEX=n
UCLIBC_HAS_WORDEXP=n
UCLIBC_HAS_CRYPT_IMPL=n
DODEBUG=n
DOSTRIP=n
KERNEL_HEADERS="$work/kernel"
RUNTIME_PREFIX="/"
DEVEL_PREFIX="/usr/"
CROSS_COMPILER_PREFIX="$triple-"
UCLIBC_EXTRA_CFLAGS="$cflags_box"
EOF
}
config=$src/.config
cp "$src/debian/config-powerpc" "$config"
while IFS='=' read -r name value; do
  sed -i -e "/^$name=/d" -e "/^# $name is not set\$/d" "$config"
  if [ "$value" = n ]; then
    echo "# $name is not set" >>"$config"
  else
    echo "$name=$value" >>"$config"
  fi
done < <(settings)
make -C "$src" olddefconfig >>"$log" 2>&1 || fail "configuring uClibc-ng failed; see $log"
# Each setting must have survived the configuration's own rules.
while IFS='=' read -r name value; do
  if [ "$value" = n ]; then
    grep -q "^$name=" "$config" && fail "uClibc-ng's configuration turned $name on"
  else
    grep -qx "$name=$value" "$config" || fail "uClibc-ng's configuration dropped $name=$value"
  fi
done < <(settings)

# ABI_VERSION 0: libc.so.0 and ld-uClibc.so.0, as on the boxes; the SysV
# hash table alone (the compiler asks for the GNU one by default).
make_uclibc=(make -C "$src" ABI_VERSION=0 UCLIBC_EXTRA_LDFLAGS=-Wl,--hash-style=sysv)
say "building uClibc-ng into $out"
"${make_uclibc[@]}" -j"$jobs" >>"$log" 2>&1 || fail "building uClibc-ng failed; see $log"
"${make_uclibc[@]}" PREFIX="$out/root" install >>"$log" 2>&1 ||
  fail "installing uClibc-ng failed; see $log"
cp -a "$work/kernel/." "$out/root/usr/include/"

# ---------------------------------------------------------------- checks

for f in lib/ld-uClibc.so.0 lib/libc.so.0; do
  [ -f "$out/root/$f" ] || fail "no $f in $out/root"
  check_instructions "$out/root/$f"
  dynamic=$($triple-readelf -d "$out/root/$f")
  grep -q '(HASH)' <<<"$dynamic" && ! grep -q '(GNU_HASH)' <<<"$dynamic" ||
    fail "$f does not have the SysV hash table alone"
done
soname=$($triple-readelf -d "$out/root/lib/libc.so.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libc.so.0 ] || fail "the C library calls itself $soname, not libc.so.0"

finish_cache
