#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# box-kernel.sh -- the emulated box's kernel: Linux from Debian's
# linux-source-6.1 for qemu's ref405ep machine (a PowerPC 405EP, no FPU),
# wrapped as a simpleImage with the device tree scripts/box-system/kavro405.dts
# and a built-in initramfs holding the first init (scripts/box-system/init.c).
#
#   scripts/box-kernel.sh           build it unless the cache holds it; print the image's path
#   scripts/box-kernel.sh --print   print where the image would be, build nothing
#
# The image is an ELF file for qemu's -kernel. Kept outside any build tree:
#
#   ${KAVRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro}/box-kernel/
#     tree-TREE/              the kernel's source and objects (TREE: the
#                             source package's version, the config fragment,
#                             this recipe); kept so that a change of the
#                             device tree or the first init only relinks
#       build.log             how its builds went
#     TREE-image-HASH/        one image (HASH: the device tree, the first init)
#       simpleImage.kavro405.elf   the image
#       init, config          the first init and the kernel's whole configuration
#
# Only the newest object tree is kept (about 1 GiB). A cold build takes about
# 7 minutes on two idle cores; a new device tree or first init about half a
# minute.
set -euo pipefail

script_name=box-kernel
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The recipe's version: raise it when the steps below change what is built.
recipe=1
print_option "$@"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/box-system
board=kavro405
init_cflags="-mcpu=powerpc -msoft-float -O2 -static -nostdlib -ffreestanding -fno-builtin
  -fno-stack-protector -fno-pie -no-pie -fno-asynchronous-unwind-tables -Wall -Wextra
  -Wl,--build-id=none"

source_version=$(package_version linux-source-6.1)
tree_hash=$(cat "$here/kernel.config" <(echo "recipe $recipe") | sha256sum | cut -c1-12)
image_hash=$(cat "$here/$board.dts" "$here/init.c" "$here/syscall.h" <(echo "$init_cflags") |
             sha256sum | cut -c1-12)
tree_key=linux-$source_version-$tree_hash
key=$tree_key-image-$image_hash
top=$cache/box-kernel
out=$top/$key
image=$out/simpleImage.$board.elf

if [ "$print_only" -eq 1 ] || [ -f "$out/.done" ]; then
  echo "$image"
  exit 0
fi

# One build at a time on a machine: a second caller waits for the first and
# then finds the image in the cache.
mkdir -p "$top"
exec 9>"$top/.lock"
flock 9
if [ -f "$out/.done" ]; then
  echo "$image"
  exit 0
fi
need_tools -gcc -objdump make flex bison bc xz cpio dtc perl
tarball=/usr/src/linux-source-6.1.tar.xz
[ -f "$tarball" ] || fail "no $tarball (Debian package linux-source-6.1)"
started=$SECONDS

tree=$top/tree-$tree_key
src=$tree/src
build=$tree/build
log=$tree/build.log
kmake=(make -C "$src" O="$build" ARCH=powerpc CROSS_COMPILE="$triple-" -j"$jobs"
       KBUILD_BUILD_USER=kavro KBUILD_BUILD_HOST=box)

# ------------------------------------------------------------ object tree

if [ ! -f "$tree/.configured" ]; then
  for old in "$top"/tree-*; do
    [ -e "$old" ] && [ "$old" != "$tree" ] && { say "removing the older object tree $(basename "$old")"; rm -rf "$old"; }
  done
  rm -rf "$tree"
  mkdir -p "$src" "$build"
  say "unpacking linux-source-6.1 $source_version"
  tar -xf "$tarball" -C "$src" --strip-components=1 || fail "unpacking $tarball failed"

  # The wrapper is linked at 4 MiB by default, inside the 4.5 MiB the
  # kernel takes once unpacked at 0: it moves up to 16 MiB.
  wrapper=$src/arch/powerpc/boot/wrapper
  grep -qx 'simpleboot-\*)' "$wrapper" || fail "no simpleboot case in $wrapper"
  sed -i '/^simpleboot-\*)$/a\    link_address='"'"'0x1000000'"'" "$wrapper"

  # The built-in initramfs: the first init and the places it mounts on.
  mkdir -p "$tree/initramfs"
  cat >"$tree/initramfs/list" <<EOF
dir /dev 0755 0 0
nod /dev/console 0600 0 0 c 5 1
dir /proc 0755 0 0
dir /sys 0755 0 0
dir /tmp 1777 0 0
dir /var 0755 0 0
file /init $tree/initramfs/init 0755 0 0
EOF

  say "configuring: ppc40x_defconfig and scripts/box-system/kernel.config"
  "${kmake[@]}" ppc40x_defconfig >>"$log" 2>&1 || fail "ppc40x_defconfig failed; see $log"
  { grep -E '^(CONFIG_|# CONFIG_)' "$here/kernel.config"
    echo "CONFIG_INITRAMFS_SOURCE=\"$tree/initramfs/list\""
  } >>"$build/.config"
  "${kmake[@]}" olddefconfig >>"$log" 2>&1 || fail "olddefconfig failed; see $log"
  # Each setting must have survived the configuration's own rules.
  while read -r setting; do
    case "$setting" in
      "# CONFIG_"*" is not set")
        name=${setting#\# }; name=${name%% *}
        ! grep -q "^$name=" "$build/.config" || fail "the kernel's configuration turned $name on" ;;
      CONFIG_*)
        grep -qxF "$setting" "$build/.config" || fail "the kernel's configuration dropped $setting" ;;
    esac
  done < <(grep -E '^(CONFIG_|# CONFIG_)' "$here/kernel.config")
  touch "$tree/.configured"
fi

# ------------------------------------------- device tree and first init

rm -rf "$out"
mkdir -p "$out"
cmp -s "$here/$board.dts" "$src/arch/powerpc/boot/dts/$board.dts" ||
  cp "$here/$board.dts" "$src/arch/powerpc/boot/dts/$board.dts"
say "building the first init"
# shellcheck disable=SC2086 # the flags are words
"$triple-gcc" $init_cflags -o "$out/init" "$here/init.c" || fail "building the first init failed"
check_instructions "$out/init"
cp "$out/init" "$tree/initramfs/init"

# ------------------------------------------------------------------ image

say "building the kernel in $tree (make -j$jobs; about 7 minutes the first time)"
"${kmake[@]}" "simpleImage.$board" >>"$log" 2>&1 || fail "building the kernel failed; see $log"
[ -f "$build/arch/powerpc/boot/simpleImage.$board.elf" ] || fail "no simpleImage.$board.elf; see $log"
cp "$build/arch/powerpc/boot/simpleImage.$board.elf" "$image"
cp "$build/.config" "$out/config"
touch "$out/.done"
say "done in $((SECONDS - started)) s"
echo "$image"
