#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# ppc-lane.sh -- build and test Kavro for the boxes' CPU family, 32-bit
# big-endian PowerPC, on this machine: Debian's cross compiler builds the
# container library, extraction, the disk tool, the installer and their
# tests; qemu-user runs them, and runs the installer in kavro-box next to this
# machine's.
#
#   scripts/ppc-lane.sh           the whole lane: every test under emulation
#   scripts/ppc-lane.sh --quick   the shortened lane: the tests of the library
#                               and of extraction, and the disk exchange
#   scripts/ppc-lane.sh --deps    only the packages and the target libraries
#   scripts/ppc-lane.sh --box     only what a release needs: the packages, the
#                               box build's target libraries and the box build
#
# Steps (each prints its time; the total closes the run):
#   1. Debian packages: the cross compiler, qemu-user, dpkg-dev (for
#      `apt-get source`) and the build tools, when run as root; a
#      binfmt_misc entry so PowerPC programs start under qemu-ppc.
#   2. The target's own UCL and FreeType, built from Debian's source
#      packages (the libraries only; FreeType without zlib, bzip2, PNG,
#      HarfBuzz and Brotli), and GoogleTest from Debian's sources in
#      /usr/src/googletest, installed into build-ppc/deps (kept between runs);
#      UCL once more for generic PowerPC without FPU (build-ppc/deps-box,
#      with the source package it was built from, which a release carries),
#      and once more against uClibc (build-ppc/deps-box-uclibc); the boxes'
#      C libraries for the emulator, GNU libc (scripts/box-libc.sh) and
#      uClibc (scripts/box-uclibc.sh), cached outside the build trees: only
#      the first run on a machine builds them.
#   3. The project for PowerPC in build-ppc (Release, warnings as errors):
#      the installer with FreeType linked dynamically, UCL and the C++
#      runtime statically; the FreeType stand-in of kavro-box. And the box
#      build in build-box: kavro-install as the boxes take it (KAVRO_BOX)
#      with its FreeType stand-in.
#   4. ctest there, every test program under qemu-ppc (the end-to-end tests
#      of the installer run in step 7).
#   5. The disk exchange: a disk made by this machine's `zepa create`
#      extracts byte for byte with PowerPC's `zepa extract`, and the reverse;
#      both machines must make the same disk from the same files. This
#      machine's tools are built in build-ppc-host.
#   6. The release (scripts/release.sh, from build-box and build-box-uclibc,
#      of the demo's payloads with PowerPC plugins built in build-box) into
#      build-ppc/release; its kavro-install and kavro-install-uclibc
#      must pass the box gate (scripts/box-gate.sh), and the gate must refuse
#      build-ppc's kavro-install and each of its own cases (tests/box/gate)
#      for the right row, those of both box builds.
#   7. The box builds' own starts (tests/box: constructors, arguments) and
#      the release's kavro-install and kavro-install-uclibc on the boxes'
#      cores: every end-to-end row in kavro-box under qemu-ppc as
#      a PowerPC 405 and as an MPC823, each with its C library; screen,
#      messages, exit status and the box afterwards must be those of this
#      machine's installer. Last, each installs the release's dm7000.dsk.
#   8. The release made again from its own source folder alone (the
#      project's archive unpacked, no git) in other folders, each with its
#      own box builds: the archives must be the same bytes (this tree's
#      release is one of them when nothing here is left uncommitted). Then
#      that tree becomes a git checkout, a commit changes the installer's
#      version, and release.sh (which brings the box builds up to date)
#      must ship an installer that shows it. Not in the shortened lane.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/common.sh"  # the lane's own say and fail follow
build=$here/build-ppc
host_build=$here/build-ppc-host
deps=$build/deps
# The box build: kavro-install as the boxes take it, with UCL built for
# generic PowerPC without FPU.
box_build=$here/build-box
box_deps=$build/deps-box
box_ucl_flags="-O2 -mcpu=powerpc -msoft-float"
# The uClibc box build: kavro-install-uclibc, with UCL built once more
# against uClibc.
box_uclibc_build=$here/build-box-uclibc
box_uclibc_deps=$build/deps-box-uclibc
toolchain=$here/cmake/toolchain-powerpc-linux-gnu.cmake
triple=powerpc-linux-gnu
sysroot=/usr/$triple
jobs=2
quick=0
deps_only=0
box_only=0

usage() {
  echo "usage: scripts/ppc-lane.sh [--quick | --deps | --box]" >&2
  exit 2
}

for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --deps) deps_only=1 ;;
    --box) box_only=1 ;;
    -h|--help) usage ;;
    *) usage ;;
  esac
done

lane_start=$SECONDS
step_start=$SECONDS

say() { echo "ppc-lane: $*"; }
fail() { echo "ppc-lane: $*" >&2; exit 1; }

step() {
  say "$1"
  step_start=$SECONDS
}

step_done() {
  say "  done in $((SECONDS - step_start)) s"
}

# ---------------------------------------------------------------- packages

packages=(cmake make g++ g++-$triple qemu-user dpkg-dev xz-utils
          libucl-dev libgtest-dev googletest gawk bison python3 git zip unzip gnupg
          uclibc-source linux-libc-dev-powerpc-cross)

qemu_binary() {
  command -v qemu-ppc || command -v qemu-ppc-static || fail "no qemu-ppc (Debian package qemu-user)"
}

# Tests start the disk tool as a program of its own (through the shell), so
# the kernel must hand PowerPC programs to qemu too: a binfmt_misc entry, the
# one qemu-user-binfmt makes, registered here when missing. QEMU_LD_PREFIX
# tells every qemu started that way where the target's loader and libraries
# are.
ppc_elf_magic='\x7fELF\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x14'
ppc_elf_mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff'

enable_binfmt() {
  local misc=/proc/sys/fs/binfmt_misc
  export QEMU_LD_PREFIX=$sysroot
  if [ ! -e "$misc/register" ]; then
    [ "$(id -u)" -eq 0 ] && mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null || true
  fi
  if [ -e "$misc/qemu-ppc" ] || [ -e "$misc/kavro-qemu-ppc" ]; then
    return 0
  fi
  if [ "$(id -u)" -eq 0 ] && [ -w "$misc/register" ]; then
    printf ':kavro-qemu-ppc:M::%s:%s:%s:\n' "$ppc_elf_magic" "$ppc_elf_mask" "$qemu" >"$misc/register" &&
      { say "registered $qemu for PowerPC programs (binfmt_misc)"; return 0; }
  fi
  say "warning: PowerPC programs cannot be started directly (no binfmt_misc entry);"
  say "warning: tests that run the disk tool as a program will fail"
}

# ---------------------------------------------------- source package access

# apt-get source needs a deb-src entry. When there is none, add one for this
# machine's own Debian release, from the same archive its binary packages
# come from.
debian_archive_uri() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

ensure_source_entry() {
  if apt-get source --print-uris ucl >/dev/null 2>&1; then
    return 0
  fi
  [ "$(id -u)" -eq 0 ] || fail "no deb-src entry for apt-get source; add one for this release as root"
  local codename uri list=/etc/apt/sources.list.d/kavro-deb-src.sources
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || fail "cannot tell this machine's Debian release"
  uri=$(debian_archive_uri)
  say "adding the source entry $uri $codename to $list"
  cat >"$list" <<EOF
Types: deb-src
URIs: $uri
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get update -qq
  apt-get source --print-uris ucl >/dev/null 2>&1 || fail "apt-get source ucl still finds no source"
}

# ------------------------------------------------------------ target's UCL

# build_ucl PREFIX FLAGS [keep [VARIABLE=VALUE...]]: the library only, with
# FLAGS (and the variables given to its configure: another C library's
# compiler and link): its configure for the target, then the src/ and
# include/ folders, made without the configure's LIBS and LDFLAGS, which only
# its link tests need. The source tree's example programs are neither built
# nor read. The library is dated by its changelog (SOURCE_DATE_EPOCH, which
# the compiler takes for the build date UCL compiles in), as Debian's own
# builds are, so the same source gives the same bytes wherever and whenever
# it is built. With "keep", the source package's files as fetched (.dsc,
# .orig.tar.*, .debian.tar.*) stay in PREFIX/source: a release of what links
# this UCL carries them.
build_ucl() {
  local prefix=$1 flags=$2 keep=${3:-}
  shift $(($# < 3 ? $# : 3))
  local stamp=$prefix/.ucl-done setting="$flags${*:+ $*}"
  [ -z "$keep" ] || setting+="; SOURCE_DATE_EPOCH from its debian/changelog"
  if [ "$(cat "$stamp" 2>/dev/null)" = "$setting" ] && [ -f "$prefix/lib/libucl.a" ] &&
     { [ -z "$keep" ] || compgen -G "$prefix/source/ucl_*.dsc" >/dev/null; }; then
    say "  UCL ($flags) for $triple already in $prefix"
    return 0
  fi
  ensure_source_entry
  local src=$prefix/source
  rm -rf "$src" "$prefix/src"
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq ucl >/dev/null 2>&1) || fail "apt-get source ucl failed"
  local tree
  tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'ucl-*' | head -n1)
  [ -n "$tree" ] || fail "no unpacked UCL source tree in $src"
  say "  building $(basename "$tree") ($flags) for $triple"
  (
    cd "$tree"
    SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l debian/changelog -S Timestamp)
    export SOURCE_DATE_EPOCH
    ./configure --host=$triple --prefix="$prefix" --disable-shared --enable-static \
      CFLAGS="$flags" "$@" >"$prefix/ucl-configure.log" 2>&1
    make -C src -j"$jobs" LIBS= LDFLAGS= >"$prefix/ucl-build.log" 2>&1
    make -C src install >>"$prefix/ucl-build.log" 2>&1
    make -C include install >>"$prefix/ucl-build.log" 2>&1
  ) || fail "building UCL failed; see $prefix/ucl-configure.log and $prefix/ucl-build.log"
  [ -f "$prefix/lib/libucl.a" ] && [ -f "$prefix/include/ucl/ucl.h" ] || fail "UCL did not install into $prefix"
  if [ -n "$keep" ]; then
    rm -rf "$tree"
  else
    rm -rf "$src"
  fi
  echo "$setting" >"$stamp"
}

# UCL for the uClibc box build: compiled against uClibc's headers as code of
# a fixed address, as the program is; its configure's link tests linked as
# the uClibc box build links. Its source package stays beside it too: the
# release checks it is the one it carries.
build_ucl_uclibc() {
  local root=$box_uclibc gcc_include
  gcc_include=$($triple-gcc -print-file-name=include)
  build_ucl "$box_uclibc_deps" "$box_ucl_flags -fno-pie" keep \
    CC="$triple-gcc -nostdinc -isystem $gcc_include -isystem $root/usr/include" \
    LDFLAGS="-nostdlib -no-pie -Wl,--dynamic-linker=/lib/ld-uClibc.so.0 -Wl,-rpath-link,$root/lib $root/usr/lib/crt1.o $root/usr/lib/crti.o" \
    LIBS="$root/lib/libc.so.0 $root/usr/lib/uclibc_nonshared.a -lgcc $root/usr/lib/crtn.o"
}

# ------------------------------------------------------- target's FreeType

# The shared library the installer loads, with only what the version query
# needs: no zlib, bzip2, PNG, HarfBuzz or Brotli behind it (the boxes have
# none of them to offer).
build_freetype() {
  local stamp=$deps/.freetype-done
  local options="-DBUILD_SHARED_LIBS=ON -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON"
  if [ "$(cat "$stamp" 2>/dev/null)" = "$options" ] && [ -f "$deps/lib/libfreetype.so.6" ]; then
    say "  FreeType for $triple already in $deps"
    return 0
  fi
  ensure_source_entry
  local src=$deps/freetype-src fbuild=$deps/freetype-build
  rm -rf "$src" "$fbuild"
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq freetype >/dev/null 2>&1) || fail "apt-get source freetype failed"
  local tree
  tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'freetype-*' | head -n1)
  [ -n "$tree" ] && [ -f "$tree/CMakeLists.txt" ] || fail "no unpacked FreeType source tree in $src"
  say "  building $(basename "$tree") for $triple"
  # shellcheck disable=SC2086 # the options are words
  {
    cmake -S "$tree" -B "$fbuild" \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$deps" \
      -DCMAKE_INSTALL_LIBDIR=lib \
      $options &&
    cmake --build "$fbuild" -j"$jobs" &&
    cmake --install "$fbuild"
  } >"$deps/freetype-build.log" 2>&1 || fail "building FreeType failed; see $deps/freetype-build.log"
  [ -f "$deps/lib/libfreetype.so.6" ] && [ -f "$deps/include/freetype2/ft2build.h" ] ||
    fail "FreeType did not install into $deps"
  echo "$options" >"$stamp"
}

# ------------------------------------------------------ target's GoogleTest

build_gtest() {
  local stamp=$deps/.gtest-done
  if [ -f "$stamp" ] && [ -f "$deps/lib/libgtest.a" ]; then
    say "  GoogleTest for $triple already in $deps"
    return 0
  fi
  [ -f /usr/src/googletest/CMakeLists.txt ] || fail "no /usr/src/googletest (Debian package googletest)"
  say "  building GoogleTest from /usr/src/googletest for $triple"
  local gbuild=$deps/gtest-build
  rm -rf "$gbuild"
  {
    cmake -S /usr/src/googletest -B "$gbuild" \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$deps" \
      -DCMAKE_INSTALL_LIBDIR=lib \
      -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON &&
    cmake --build "$gbuild" -j"$jobs" &&
    cmake --install "$gbuild"
  } >"$deps/gtest-build.log" 2>&1 || fail "building GoogleTest failed; see $deps/gtest-build.log"
  touch "$stamp"
}

# ------------------------------------------------------------- the project

# Warnings are errors as in the other builds, except GCC 12's object-access
# warnings, which raise false alarms with this target's 32-bit sizes and
# inlining: -Wstringop-overflow and -Warray-bounds on std::vector::insert
# after a push_back, -Wrestrict on "f" + std::to_string(i). They still print
# as warnings.
gcc12_false_alarms="-Wno-error=array-bounds -Wno-error=stringop-overflow -Wno-error=stringop-overread -Wno-error=restrict"

configure_project() {
  cmake -S "$here" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DKAVRO_TARGET_PREFIX="$deps" \
    -DCMAKE_BUILD_TYPE=Release \
    -DKAVRO_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$gcc12_false_alarms" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; fail "configuring $build failed"; }
}

build_project() {
  cmake --build "$build" -j"$jobs" || fail "building $build failed"
}

# The box build: only kavro-install and the FreeType stand-in, with UCL
# built the same way (generic PowerPC, soft-float) and the target's FreeType
# to link against. cmake/KavroBox.cmake holds its flags.
# configure_box [SOURCE BUILD]: this tree's box build, or that of SOURCE in BUILD.
configure_box() {
  local source=${1:-$here} box_build=${2:-$box_build}
  mkdir -p "$box_build"
  cmake -S "$source" -B "$box_build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DKAVRO_TARGET_PREFIX="$deps" \
    -DCMAKE_BUILD_TYPE=Release \
    -DKAVRO_WERROR=ON \
    -DKAVRO_BOX=ON -DKAVRO_TESTS=OFF \
    -DUCL_INCLUDE_DIR="$box_deps/include" \
    -DUCL_LIBRARY="$box_deps/lib/libucl.a" -DUCL_STATIC_LIBRARY="$box_deps/lib/libucl.a" \
    -DCMAKE_CXX_FLAGS="$gcc12_false_alarms" >"$box_build/configure.log" 2>&1 ||
    { cat "$box_build/configure.log" >&2; fail "configuring $box_build failed"; }
}

build_box() {
  cmake --build "$box_build" -j"$jobs" --target kavro-install kavro_built_from kavro_freetype_standin box_start_check \
    box_gate_cases kavro_box_payloads || fail "building $box_build failed"
}

# The uClibc box build: the same, against uClibc (cmake/KavroBoxUclibc.cmake).
# configure_box_uclibc [SOURCE BUILD]: this tree's, or that of SOURCE in BUILD.
configure_box_uclibc() {
  local source=${1:-$here} box_uclibc_build=${2:-$box_uclibc_build}
  mkdir -p "$box_uclibc_build"
  cmake -S "$source" -B "$box_uclibc_build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DKAVRO_TARGET_PREFIX="$deps" \
    -DCMAKE_BUILD_TYPE=Release \
    -DKAVRO_WERROR=ON \
    -DKAVRO_BOX=ON -DKAVRO_BOX_LIBC=uclibc -DKAVRO_BOX_SYSROOT="$box_uclibc" -DKAVRO_TESTS=OFF \
    -DUCL_INCLUDE_DIR="$box_uclibc_deps/include" \
    -DUCL_LIBRARY="$box_uclibc_deps/lib/libucl.a" -DUCL_STATIC_LIBRARY="$box_uclibc_deps/lib/libucl.a" \
    -DCMAKE_CXX_FLAGS="$gcc12_false_alarms" >"$box_uclibc_build/configure.log" 2>&1 ||
    { cat "$box_uclibc_build/configure.log" >&2; fail "configuring $box_uclibc_build failed"; }
}

build_box_uclibc() {
  cmake --build "$box_uclibc_build" -j"$jobs" --target kavro-install kavro_built_from kavro_freetype_standin \
    box_start_check box_gate_cases || fail "building $box_uclibc_build failed"
}

# The shortened lane: the tests of the library and of extraction (by their
# suites' names), and one disk exchange instead of three.
quick_tests='^(CoreOps|DataDisk|Directory|DiskApi|ErrorMessages|Extraction|Handle|LinkedList|OutOfMemory|Read|Registry|ReportDiskError|StdioFailure|StringList|zepa_)'

# Tests that cannot pass under user-mode emulation though the code is right:
# when a target program dies of a signal, qemu-ppc adds its own line
# "qemu: uncaught target signal 6 (Aborted) - core dumped" to the program's
# standard error, so a death test that compares the whole dying message sees
# one line too many.
emulation_exclusions='^StringListDeathTest\.DefaultHandlerDestroysPrintsAndAborts$'

run_tests() {
  local args=(--test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
              -E "$emulation_exclusions")
  if [ "$quick" -eq 1 ]; then
    args+=(-R "$quick_tests")
  fi
  ctest "${args[@]}"
}

# ------------------------------------------------------- the disk exchange

host_zepa=""
ppc_zepa=""

# This machine's side: the disk tool, kavro-box with its installer, the
# end-to-end tests and the demo's payloads.
build_host_tool() {
  mkdir -p "$host_build"
  cmake -S "$here" -B "$host_build" -DCMAKE_BUILD_TYPE=Release -DKAVRO_WERROR=OFF \
    >"$host_build/configure.log" 2>&1 ||
    { cat "$host_build/configure.log" >&2; fail "configuring $host_build failed"; }
  cmake --build "$host_build" -j"$jobs" --target zepa kavro-box installer_e2e_tests kavro_demo_payloads \
    >"$host_build/build.log" 2>&1 ||
    { tail -n 40 "$host_build/build.log" >&2; fail "building this machine's tools in $host_build failed"; }
  host_zepa=$host_build/bin/zepa
  ppc_zepa=$build/bin/zepa
  [ -x "$host_zepa" ] || fail "no $host_zepa"
  [ -x "$ppc_zepa" ] || fail "no $ppc_zepa"
}

run_ppc_zepa() {
  "$qemu" -L "$sysroot" "$ppc_zepa" "$@"
}

# Files of every shape that matter to the decoders: empty, one byte, a block
# boundary and one past it, text that compresses well, bytes that do not, and
# a mix of both.
payload_files=(empty.bin one.bin zeros.bin random.bin text.cfg mixed.so)

make_payload() {
  local dir=$1 i
  rm -rf "$dir"
  mkdir -p "$dir"
  : >"$dir/empty.bin"
  printf 'x' >"$dir/one.bin"
  head -c 65536 /dev/zero >"$dir/zeros.bin"
  head -c 65537 /dev/urandom >"$dir/random.bin"
  for i in $(seq 1 3000); do
    printf 'line %d of the subtitle configuration\tfont=Kavro.ttf\n' "$i"
  done >"$dir/text.cfg"
  cat "$dir/text.cfg" "$dir/random.bin" "$dir/text.cfg" >"$dir/mixed.so"
}

# check_disk SIDE DISK OUTDIR: SIDE lists and verifies DISK and extracts
# every file of it; each must come back byte for byte.
check_disk() {
  local side=$1 disk=$2 out=$3 f
  mkdir -p "$out"
  $side list "$disk" >"$out/list.txt" || fail "$disk: zepa list failed"
  $side verify "$disk" >"$out/verify.txt" || fail "$disk: zepa verify failed"
  for f in "${payload_files[@]}"; do
    $side extract --force "$disk" "$f" "$out/$f" >>"$out/extract.txt" 2>&1 ||
      fail "$disk: zepa extract $f failed"
    cmp "$payload/$f" "$out/$f" || fail "$disk: $f differs after the exchange"
  done
}

# exchange NAME [create options...]: both sides make the disk from the same
# files with the same options; the two disks must be the same bytes, and
# each side extracts the other's disk byte for byte.
exchange() {
  local name=$1
  shift
  local work=$build/exchange/$name
  rm -rf "$work"
  mkdir -p "$work"
  (
    cd "$work"
    local -a inputs=() f
    for f in "${payload_files[@]}"; do inputs+=("$payload/$f"); done
    "$host_zepa" create -q host.dsk "$@" "${inputs[@]}" ||
      fail "$name: this machine's zepa create failed"
    run_ppc_zepa create -q ppc.dsk "$@" "${inputs[@]}" ||
      fail "$name: PowerPC's zepa create failed"
    cmp host.dsk ppc.dsk || fail "$name: the two machines made different disks"
    # The disk path stays short and relative: the tool takes at most 63
    # characters, as the box does.
    check_disk run_ppc_zepa host.dsk "$work/on-ppc"
    check_disk "$host_zepa" ppc.dsk "$work/on-host"
  ) || exit 1
  say "  $name: same disk on both machines; ${#payload_files[@]} files extracted byte for byte each way"
}

# ------------------------------------------------- the installer, compared

# box_options INSTALLER [LIBC BUILD]: the kavro-box options that run
# INSTALLER under qemu as the boxes run it: the box's C library LIBC (loader
# and C library; by default glibc's) and the FreeType stand-in of the box
# build BUILD in place of the box's FreeType.
box_options() {
  local libc=${2:-$box_libc} box=${3:-$box_build}
  echo "--installer $1 --qemu $qemu --sysroot $libc --target-libs $box/lib/kavro-box" \
    "--freetype-standin $box/lib/kavro-box/libfreetype.so.6"
}

# The boxes' cores as qemu 7.2 models them: the DM7000's and the DM56xx's
# PowerPC 405, the DBox2's MPC823. kavro-box hands QEMU_CPU to qemu.
cpu_models=(405 mpc823)

# check_box_start LIBC BUILD: the box build's own start on each model. The
# GNU libc for the emulator, like the boxes', runs only the init function
# the start hands it; uClibc-ng would run .init_array after it. Either way
# the program's constructors must run once each, and main get its arguments
# and standard output and error.
check_box_start() {
  local cpu out err status
  for cpu in "${cpu_models[@]}"; do
    status=0
    out=$(QEMU_CPU=$cpu "$qemu" -L "$1" "$2/bin/box_start_check" word 2>"$build/box-start.err") ||
      status=$?
    err=$(cat "$build/box-start.err")
    [ "$status" -eq 0 ] && [ "$out" = "constructors: 1 2 of 2" ] && [ "$err" = "arguments: 2 word" ] ||
      fail "the start of ${2##*/} under -cpu $cpu: status $status, '$out', '$err'"
  done
  say "  the start of ${2##*/} runs the constructors once each on ${cpu_models[*]}"
}

# on_box_cores INSTALLER [LIBC BUILD]: every end-to-end row, on each model;
# the rows compare screen, standard error, status and box with this
# machine's.
on_box_cores() {
  local cpu status=0
  for cpu in "${cpu_models[@]}"; do
    if QEMU_CPU=$cpu KAVRO_BUILD_DIR=$host_build KAVRO_FOREIGN_BOX=$(box_options "$@") \
        "$host_build/tests/installer_e2e_tests" --gtest_filter='*Foreign*' --gtest_brief=1; then
      say "  ${1##*/} under qemu-ppc -cpu $cpu: every row the same as this machine's: screen, messages, exit status and box"
    else
      say "  ${1##*/} under qemu-ppc -cpu $cpu: rows differ (above)"
      status=1
    fi
  done
  return "$status"
}

release_out=$build/release
release_dir=

# The release's payloads: the demo's, with its plugins built by the box
# build as PowerPC shared objects (the demo on this machine packs text
# placeholders instead, which a release refuses).
release_payloads=$box_build/demo/box-payloads

# The release, made as a maintainer makes it; it checks its installers and
# plugins with the box gate. The archive must unpack to the release's folder.
make_release() {
  "$here/scripts/release.sh" --build "$box_build" --uclibc-build "$box_uclibc_build" --zepa "$host_zepa" \
    "$release_out" "$release_payloads" || fail "the release failed"
  release_dir=$(find "$release_out/" -mindepth 1 -maxdepth 1 -type d -name 'kavro-*')
  [ -d "$release_dir" ] && [ -f "$release_dir.zip" ] || fail "no archive and folder in $release_out"
  (cd "$release_dir" && sha256sum --quiet -c SHA256SUMS) || fail "the release's SHA256SUMS do not match"
  rm -rf "$build/release-unzipped"
  unzip -q "$release_dir.zip" -d "$build/release-unzipped" &&
    diff -r "$release_dir" "$build/release-unzipped/${release_dir##*/}" || fail "the archive is not the release's folder"
  local gate
  gate=$("$here/scripts/box-gate.sh" "$release_dir/kavro-install") ||
    { echo "$gate" >&2; fail "the release's kavro-install fails the box gate"; }
  say "  the release's kavro-install passes the box gate ($(tail -n1 <<<"$gate" | sed 's/.*: //'))"
  say "  ${release_dir##*/}.zip: $(stat -c %s "$release_dir.zip") bytes, $(unzip -Z1 "$release_dir.zip" | grep -vc '/$') files"
}

# The release made again from its own source folder alone: the project's
# archive unpacked in other folders (no git), each configured as box builds
# of its own against the same target libraries and released with --source
# (release.sh builds them): the archives must be the same bytes. This tree's
# own release counts as one when its work tree holds nothing not committed.
check_reproducible() {
  local work=$build/reproduce side tree archive last
  local -a zips=()
  [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ] || zips+=("$release_dir.zip")
  archive=$(find "$release_dir/source/" -maxdepth 1 -name 'kavro-*.tar.gz')
  rm -rf "$work"
  for side in one other/folder-of-another-length; do
    [ ${#zips[@]} -lt 2 ] || break
    mkdir -p "$work/$side"
    tar -xzf "$archive" -C "$work/$side" || fail "cannot unpack $archive"
    last=$work/$side
    tree=$last/$(basename "$archive" .tar.gz)
    configure_box "$tree" "$work/$side/build-box"
    configure_box_uclibc "$tree" "$work/$side/build-box-uclibc"
    "$tree/scripts/release.sh" --source "$release_dir/source" --build "$work/$side/build-box" \
      --uclibc-build "$work/$side/build-box-uclibc" --zepa "$host_zepa" "$work/$side/release" "$release_payloads" \
      >"$work/$side/release.log" 2>&1 || { cat "$work/$side/release.log" >&2; fail "the release from $tree failed"; }
    zips+=("$(find "$work/$side/release/" -maxdepth 1 -name 'kavro-*.zip')")
  done
  cmp "${zips[0]}" "${zips[1]}" || fail "two releases of one commit differ: ${zips[0]} ${zips[1]}"
  say "  the release is the same bytes from ${zips[0]%/release/*} and ${zips[1]%/release/*} (its source folder alone)"
  check_new_version "$tree" "$last"
  rm -rf "$work"
}

# check_new_version TREE WORK: TREE (a release's source, unpacked, with its
# box builds in WORK) made a git checkout; a commit that changes the
# installer's version, then release.sh at once: the installer in its archive
# must show the new version.
check_new_version() {
  local tree=$1 work=$2 version zip installer screen=$build/new-version-screen.txt
  git -C "$tree" init -q && git -C "$tree" add -A . &&
    git -C "$tree" -c user.name=lane -c user.email=lane@kavro.invalid commit -q -m "the release's source" ||
    fail "cannot make $tree a git checkout"
  version=$(sed -n 's/.*-- installer v\([0-9][0-9.]*\).*/\1/p' "$tree/installer/texts.h").1
  sed -i "s/-- installer v[0-9][0-9.]*/-- installer v$version/" "$tree/installer/texts.h"
  git -C "$tree" -c user.name=lane -c user.email=lane@kavro.invalid commit -q -a -m "installer v$version" ||
    fail "cannot commit the new version in $tree"
  "$tree/scripts/release.sh" --build "$work/build-box" --uclibc-build "$work/build-box-uclibc" --zepa "$host_zepa" \
    "$work/new-version" "$release_payloads" >"$work/new-version.log" 2>&1 ||
    { cat "$work/new-version.log" >&2; fail "the release after a new version failed"; }
  zip=$(find "$work/new-version/" -maxdepth 1 -name "kavro-*-installer-$version.zip")
  [ -f "$zip" ] || fail "no kavro-*-installer-$version.zip after the new version"
  rm -rf "$work/new-version-unzipped"
  unzip -q "$zip" -d "$work/new-version-unzipped" || fail "cannot unzip $zip"
  installer=$(find "$work/new-version-unzipped" -name kavro-install -type f)
  # shellcheck disable=SC2046 # the options are words
  QEMU_CPU=405 "$host_build/bin/kavro-box" $(box_options "$installer") --disk "${zip%.zip}/dm7000.dsk" \
    --freetype 2.1.3 --keys b0y >"$screen" 2>&1 || { cat "$screen" >&2; fail "the new version's installer failed"; }
  grep -q -- "-- installer v$version" "$screen" || { cat "$screen" >&2; fail "the installer in $zip does not show v$version"; }
  say "  a commit of installer v$version, then release.sh: its archive's kavro-install shows v$version"
}

# The gate itself: build-ppc's kavro-install, linked with the C++ runtime
# against Debian's C library and stripped as releases were, is what a box
# refuses, for 11 reasons; and what the gate cannot check whole, its code's
# segment also holding the headers and read-only data.
check_gate_refuses() {
  local gate failed status=0 stripped=$build/kavro-install.stripped
  $triple-strip -o "$stripped" "$build/bin/kavro-install" || fail "strip failed"
  gate=$("$here/scripts/box-gate.sh" "$stripped" 2>&1) || status=$?
  { [ "$status" -eq 2 ] && grep -q 'cannot be checked: .*not marked executable' <<<"$gate"; } ||
    { echo "$gate" >&2; fail "the box gate ends with $status on build-ppc's kavro-install, not 2 for its read-only data"; }
  failed=$(sed -n 's/^box-gate: FAIL  \(.\{12\}\).*/\1/p' <<<"$gate" | sed 's/ *$//' | paste -sd ,)
  [ "$failed" = "instructions,fpu,old PLT,DT_HASH,not PIE,no TLS,ABI note,dynamic tags,versions,needed,functions" ] ||
    { echo "$gate" >&2; fail "the box gate fails other rows than expected for build-ppc's kavro-install: $failed"; }
  say "  the box gate refuses build-ppc's kavro-install: $failed; and cannot check it whole (headers and read-only data in the code's segment)"
}

# The gate's own cases (tests/box/gate), built as the box build builds
# kavro-install and stripped as the release strips it: each fault the gate
# exists for must fail its row, and only that row, naming what it found; a
# plain program and a plain plugin must pass every row that applies. A file
# the gate cannot check ("refused") must end with status 2, naming why.
#   program|row that fails|words its line must hold
glibc_gate_cases=(
  "plain||"
  "instructions|instructions|iselgt vaddubm ld popcntb lwsync mfocrf"
  "fpu|fpu|fadd efsadd"
  "moved|functions|clock_gettime@GLIBC_2.2 librt.so.1 dlopen@GLIBC_2.1 libdl.so.2"
  "ifunc|relocations|R_PPC_IRELATIVE"
  "tls|no TLS|TLS segment"
  "runpath|search paths|DT_RUNPATH /opt/kavro/lib:"
  "codedata|refused|.kavro_tables"
  "sectionless|refused|no section table"
  "plugin||"
  "plugin_fpu|fpu|fadd fmul"
  "plugin_rpath|search paths|DT_RPATH /usr/local/lib"
)
# The uClibc box build's: its C library's rows.
uclibc_gate_cases=(
  "plain||"
  "copy|no COPY|stdout"
  "newer|functions|pipe2 utimensat"
  "plugin||"
)

# check_gate_cases BUILD CASE...: the cases of the box build BUILD.
check_gate_cases() {
  local entry name row words stripped built gate status failed word line
  local box=$1 cases_dir=$build/box-gate-cases/${1##*/}
  shift
  local gate_cases=("$@")
  rm -rf "$cases_dir"
  mkdir -p "$cases_dir"
  # The gate on every case at once (the machine's cores), then the verdicts.
  for entry in "${gate_cases[@]}"; do
    name=${entry%%|*}
    stripped=$cases_dir/$name
    built=$box/bin/box_gate_$name
    [ -f "$built" ] || built+=.so  # a plugin
    $triple-strip -o "$stripped" "$built" || fail "strip failed"
    # The sectionless case: e_shoff, e_shnum and e_shstrndx zero, which the
    # loader never reads.
    if [ "$name" = sectionless ]; then
      printf '\0\0\0\0' | dd of="$stripped" bs=1 seek=32 conv=notrunc status=none
      printf '\0\0\0\0' | dd of="$stripped" bs=1 seek=48 conv=notrunc status=none
    fi
    { status=0; "$here/scripts/box-gate.sh" "$stripped" >"$stripped.gate" 2>&1 || status=$?; echo "$status" >"$stripped.status"; } &
  done
  wait
  for entry in "${gate_cases[@]}"; do
    IFS='|' read -r name row words <<<"$entry"
    gate=$(cat "$cases_dir/$name.gate")
    status=$(cat "$cases_dir/$name.status")
    if [ -z "$row" ]; then
      [ "$status" -eq 0 ] || { echo "$gate" >&2; fail "the box gate refuses the $name case"; }
      continue
    fi
    if [ "$row" = refused ]; then
      [ "$status" -eq 2 ] || { echo "$gate" >&2; fail "the box gate ends with $status on the $name case, not 2"; }
      line=$(grep 'cannot be checked' <<<"$gate")
      for word in $words; do
        grep -q -F -- "$word" <<<"$line" || { echo "$gate" >&2; fail "the box gate does not name $word refusing the $name case"; }
      done
      continue
    fi
    [ "$status" -eq 1 ] || { echo "$gate" >&2; fail "the box gate ends with $status on the $name case; its $row row must fail"; }
    failed=$(sed -n 's/^box-gate: FAIL  \(.\{12\}\).*/\1/p' <<<"$gate" | sed 's/ *$//' | paste -sd ,)
    [ "$failed" = "$row" ] || { echo "$gate" >&2; fail "the $name case fails the rows $failed, not $row alone"; }
    line=$(grep "^box-gate: FAIL  $row " <<<"$gate")
    for word in $words; do
      grep -q -F -- "$word" <<<"$line" || { echo "$line" >&2; fail "the gate's $row row does not name $word for the $name case"; }
    done
  done
  say "  the box gate passes the plain cases of ${box##*/}" \
    "($(printf '%s\n' "${gate_cases[@]}" | awk -F'|' '$2 == "" { printf "%s%s", sep, $1; sep = ", " }'))" \
    "and refuses each of the others for its row:" \
    "$(printf '%s\n' "${gate_cases[@]}" | awk -F'|' '$2 != "" { printf "%s%s (%s)", sep, $1, $2; sep = ", " }')"
}

# The release's kavro-install-uclibc, passed by the box gate.
check_uclibc_installer() {
  local gate
  gate=$("$here/scripts/box-gate.sh" "$release_dir/kavro-install-uclibc") ||
    { echo "$gate" >&2; fail "the release's kavro-install-uclibc fails the box gate"; }
  say "  the release's kavro-install-uclibc passes the box gate ($(tail -n1 <<<"$gate" | sed 's/.*: //')):" \
    "$(stat -c %s "$release_dir/kavro-install-uclibc") bytes"
}

# check_release_install INSTALLER [LIBC BUILD]: an installer on the
# release's own disk in the box, as a DM7000: English, subtitles kept,
# install.
check_release_install() {
  local report=$build/release-box.txt
  # shellcheck disable=SC2046 # the options are words
  QEMU_CPU=405 "$host_build/bin/kavro-box" $(box_options "$@") --disk "$release_dir/dm7000.dsk" \
    --freetype 2.1.3 --var-size 2048 --keys b0y --report "$report" >"$build/release-box-screen.txt" ||
    { cat "$build/release-box-screen.txt" "$report" >&2; fail "${1##*/} did not install the release's disk"; }
  grep -q '^  link  *  /var/tuxbox/plugins/kavro\.so -> \.kavro/kavro\.so$' "$report" &&
    grep -q '^  file  0755 .* /var/tuxbox/plugins/\.kavro-[12]/kavro\.so$' "$report" ||
    { cat "$report" >&2; fail "${1##*/} left no plugin"; }
  say "  ${1##*/} installed the release's dm7000.dsk under $(basename "$qemu") -cpu 405"
}

# --------------------------------------------------------------------- run

step "1/$([ "$box_only" -eq 1 ] && echo 3 || echo 8) packages"
install_packages "${packages[@]}"
qemu=$(qemu_binary)
enable_binfmt
mkdir -p "$deps" "$box_deps"
step_done

if [ "$box_only" -eq 1 ]; then
  step "2/3 the box builds' target libraries (UCL for them in $box_deps and $box_uclibc_deps, FreeType in $deps, uClibc)"
  build_ucl "$box_deps" "$box_ucl_flags" keep
  build_freetype
  ensure_source_entry
  box_uclibc=$("$here/scripts/box-uclibc.sh") || fail "the boxes' uClibc failed (scripts/box-uclibc.sh)"
  mkdir -p "$box_uclibc_deps"
  build_ucl_uclibc
  step_done
  step "3/3 the box builds in $box_build and $box_uclibc_build"
  configure_box
  build_box
  configure_box_uclibc
  build_box_uclibc
  step_done
  say "lane took $((SECONDS - lane_start)) s"
  exit 0
fi

step "2/8 target libraries (UCL, FreeType, GoogleTest) in $deps; the box's C library"
build_ucl "$deps" "-O2 -fPIC"
build_ucl "$box_deps" "$box_ucl_flags" keep
build_freetype
build_gtest
ensure_source_entry  # the cache's key is the source packages' versions
box_libc=$("$here/scripts/box-libc.sh") || fail "the box's C library failed (scripts/box-libc.sh)"
say "  the box's C library in $box_libc"
box_uclibc=$("$here/scripts/box-uclibc.sh") || fail "the boxes' uClibc failed (scripts/box-uclibc.sh)"
say "  the boxes' uClibc in $box_uclibc"
mkdir -p "$box_uclibc_deps"
build_ucl_uclibc
step_done
if [ "$deps_only" -eq 1 ]; then
  say "lane took $((SECONDS - lane_start)) s"
  exit 0
fi

step "3/8 build for $triple in $build, and the box builds in $box_build and $box_uclibc_build"
configure_project
build_project
configure_box
build_box
configure_box_uclibc
build_box_uclibc
step_done

step "4/8 tests under $(basename "$qemu")"
tests_status=0
run_tests || tests_status=1
step_done

step "5/8 disk exchange between this machine and $triple"
build_host_tool
payload=$build/exchange/payload
make_payload "$payload"
exchange nrv2e-default
if [ "$quick" -eq 0 ]; then
  exchange nrv2b-level1-1k --method nrv2b --level 1 --block-size 1024
  exchange nrv2d-level6-64k-nosum --method nrv2d --level 6 --block-size 65536 --no-checksum
fi
step_done

step "6/8 release, and the box gate on its kavro-install and on build-ppc's"
make_release
check_uclibc_installer
check_gate_refuses
check_gate_cases "$box_build" "${glibc_gate_cases[@]}"
check_gate_cases "$box_uclibc_build" "${uclibc_gate_cases[@]}"
step_done

step "7/8 the release's kavro-install and kavro-install-uclibc on the boxes' cores (qemu-ppc -cpu ${cpu_models[*]})"
check_box_start "$box_libc" "$box_build"
check_box_start "$box_uclibc" "$box_uclibc_build"
compare_status=0
on_box_cores "$release_dir/kavro-install" || compare_status=1
on_box_cores "$release_dir/kavro-install-uclibc" "$box_uclibc" "$box_uclibc_build" || compare_status=1
check_release_install "$release_dir/kavro-install"
check_release_install "$release_dir/kavro-install-uclibc" "$box_uclibc" "$box_uclibc_build"
step_done

if [ "$quick" -eq 0 ]; then
  step "8/8 the release made again from its source folder in other folders: the same bytes; a new version released"
  check_reproducible
  step_done
fi

say "lane took $((SECONDS - lane_start)) s"
[ "$tests_status" -eq 0 ] || fail "tests failed under emulation"
[ "$compare_status" -eq 0 ] || fail "the release's installer ends rows differently on the boxes' cores"
