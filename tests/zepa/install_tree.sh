#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The installed tree from its users' side: installs the build into a fresh prefix, builds install_tree/consumer.c
# against libzepa there with pkg-config and with find_package(zepa), each shared and static, and runs them; then the
# end-to-end rows of every language run on the installed zepa and kavro-box (a link in bin/, with its own kavro-install
# and FreeType stand-in).   install_tree.sh BUILD_DIR WORK_DIR C_COMPILER ["FLAGS" (the checking build's sanitizers)]
# shellcheck disable=SC2046,SC2086 # FLAGS and pkg-config's output are word lists
set -euo pipefail
build=$1 work=$2 cc=$3 flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)/install_tree
prefix=$work/prefix
fail() { echo "install tree: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name zepa.pc)
[ -n "$pc" ] || fail "no zepa.pc installed"
pkg() { PKG_CONFIG_PATH=$(dirname "$pc") pkg-config "$@" zepa; }  # zepa.pc finds the prefix itself
"$cc" $flags -o "$work/pkg_config_shared" "$here/consumer.c" $(pkg --cflags --libs)
"$cc" $flags -o "$work/pkg_config_static" "$here/consumer.c" $(pkg --cflags) -Wl,-Bstatic $(pkg --libs --static) -Wl,-Bdynamic
cmake -S "$here" -B "$work/find_package" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/consumer.log"
cmake --build "$work/find_package" >>"$work/consumer.log"
# Each program prints what it read, and loads libzepa.so.0 (shared) or holds the library (static).
for program in pkg_config_shared:1 pkg_config_static:0 find_package/consumer_shared:1 find_package/consumer_static:0; do
  p=$work/${program%:*}
  output=$(LD_LIBRARY_PATH=$(dirname "$(dirname "$pc")") "$p" "$here/fourteen_bytes") || fail "$p failed"
  [ "$output" = 'libzepa 0.0.2: 14 bytes: fourteen bytes' ] || fail "$p printed '$output'"
  [ "$(readelf -d "$p" | grep -c 'NEEDED.*libzepa\.so\.0')" = "${program#*:}" ] ||
    fail "$p: not ${program#*:} times linked against libzepa.so.0"
  echo "  ${program%:*}: ok"
done
# The installed tools, from bin/ alone.
[ -x "$prefix/bin/zepa" ] || fail "no bin/zepa"
[ -L "$prefix/bin/kavro-box" ] || { echo "  (no kavro-box: built without the installer)"; exit 0; }
"$prefix/bin/kavro-box" --check || { echo "  (no sandbox here: installed kavro-box not run)"; exit 0; }
KAVRO_BUILD_DIR=$prefix "$build/tests/installer_e2e_tests" --gtest_filter='Installer.EachLanguage*' >"$work/e2e.log" ||
  fail "the installed zepa and kavro-box failed the end-to-end rows (see $work/e2e.log)"
echo "  bin/zepa and bin/kavro-box: every language installed, ok"
