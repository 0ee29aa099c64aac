#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# tree-state.sh -- the state of a source tree, as a build records it and a
# release checks it: which commit, and what the files hold.
#
#   scripts/tree-state.sh [-o FILE] [SOURCE]   (default: this script's tree)
#
# Prints two lines (with -o, writes them to FILE in one rename). In a git checkout:
#   commit HASH          the commit checked out (HEAD)
#   changes none|SHA256  the changes of the tracked files against it (the
#                        SHA-256 of `git diff HEAD`), none when there are none
# In a tree unpacked from a release's source archive (no .git):
#   commit HASH          the commit the archive was made from
#                        (packaging/release/commit, which git archive fills in)
#   files SHA256         the SHA-256 of the list of every file's SHA-256, in
#                        name order; folders named build* at the top (build
#                        trees) are not counted
# Exit status 2 when neither is the case.
set -euo pipefail

out=
if [ "${1:-}" = -o ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/tree-state.sh [-o FILE] [SOURCE]" >&2; exit 2; }
  out=$2
  shift 2
fi
if [ -n "$out" ]; then
  "$0" "$@" >"$out.new" && mv -f -- "$out.new" "$out"
  exit
fi
source=$(cd "${1:-$(dirname "$0")/..}" && pwd)
export LC_ALL=C

if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1 &&
   [ "$(git -C "$source" rev-parse --show-toplevel)" = "$source" ]; then
  commit=$(git -C "$source" rev-parse --verify -q 'HEAD^{commit}') ||
    { echo "tree-state: $source: a git checkout without a commit" >&2; exit 2; }
  changes=$(git -C "$source" diff --no-ext-diff --no-textconv --binary HEAD | sha256sum | cut -d ' ' -f 1)
  [ "$changes" != "$(sha256sum </dev/null | cut -d ' ' -f 1)" ] || changes=none
  echo "commit $commit"
  echo "changes $changes"
  exit 0
fi

commit=$(sed -n "s/^\([0-9a-f]\{40\}\) .*/\1/p" "$source/packaging/release/commit" 2>/dev/null || true)
[[ $commit =~ ^[0-9a-f]{40}$ ]] ||
  { echo "tree-state: $source: neither a git checkout nor unpacked from a release's source archive" >&2; exit 2; }
echo "commit $commit"
files=$(cd "$source" && find . -path './build*' -prune -o -type f -print0 | sort -z |
  xargs -0 -r sha256sum -- | sha256sum | cut -d ' ' -f 1)
echo "files $files"
