#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# demo.sh BUILD_DIR [kavro-box options...]
#
# Packs the placeholder payloads of the build (BUILD_DIR/demo/payloads) into
# a sample data disk with `zepa create` and runs the installer on it in a
# simulated DM7000 box (kavro-box), with a few fonts and a USB stick.
set -euo pipefail

build=$(cd "${1:?usage: demo.sh BUILD_DIR [kavro-box options...]}" && pwd)
shift

payloads=$build/demo/payloads
disk=$build/demo/dm7000.dsk
if [ ! -f "$payloads/kavro-2.cfg" ]; then
  echo "demo: no payloads in $payloads; build first (cmake --build $build)" >&2
  exit 1
fi

files=()
for variant in d209 d213; do
  for code in CZ EN AR BG HR NL FR GR HU PL SI; do
    files+=("$payloads/$variant-$code.so")
  done
done
files+=("$payloads/kavro-1.cfg" "$payloads/kavro-2.cfg")
"$build/bin/zepa" create --force "$disk" "${files[@]}"

cat <<EOT
demo: sample data disk $disk
demo: starting the installer in a simulated DM7000 box.
      Keys: a letter for the language, a digit for the subtitles storage,
      a letter for the font, then Y (install), N (ask again) or E (exit).
EOT

exec "$build/bin/kavro-box" --model dm7000 --disk "$disk" \
  --font-name md_khmurabi_10.ttf --font-name DejaVuSans.ttf --font-name arial.ttf \
  --mnt-usb-var "$@"
