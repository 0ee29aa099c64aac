#!/usr/bin/env bash
# One full install under valgrind's memcheck: the demo disk, English, the
# subtitles in /tmp, the first font, confirmed. The installer must end with
# status 0, and memcheck must find no error and no lost or reachable byte.
#   valgrind_install.sh BUILD_DIR LOG_DIR
set -euo pipefail
build=$1
log=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

files=("$build"/demo/payloads/d213-EN.so "$build"/demo/payloads/kavro-2.cfg)
"$build/bin/zepa" create --force "$work/dm7000.dsk" "${files[@]}" >/dev/null

"$build/bin/kavro-box" --disk "$work/dm7000.dsk" --font-name a.ttf --root "$work/box" --keys b2ay \
  --under 'valgrind --error-exitcode=97 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all
  --log-file=/tmp/valgrind.log' >"$log/install.typescript" 2>&1 || true

cp "$work/box/tmp/valgrind.log" "$log/install.log" 2>/dev/null || { echo "no valgrind log" >&2; exit 1; }
grep -q 'kavro-install exited with status 0\.' "$log/install.typescript" || {
  echo "the install did not end with status 0:" >&2
  tail -20 "$log/install.typescript" >&2
  exit 1
}
cmp "$build/demo/payloads/d213-EN.so" "$work/box/var/tuxbox/plugins/kavro.so"
grep -q 'ERROR SUMMARY: 0 errors' "$log/install.log" || { grep -E 'ERROR SUMMARY|lost|reachable' "$log/install.log" >&2; exit 1; }
grep -q 'All heap blocks were freed' "$log/install.log" || { grep -E 'in use at exit|lost|reachable' "$log/install.log" >&2; exit 1; }
