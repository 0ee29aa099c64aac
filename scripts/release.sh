#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# release.sh -- make what a maintainer publishes for the boxes: one archive
# that opens on any desktop, for the box owner, with the complete source of
# what it holds.
#
#   scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM]
#                      [--box-gate PROGRAM] [--ucl-source DIR] [--sign KEY]
#                      [--model MODEL=DIR]... OUTDIR [PAYLOADS]
#
# OUTDIR then holds NAME.zip and the folder NAME it unpacks to. NAME is
# kavro-VERSION-installer-VERSION with the two versions the installer's
# banner shows (installer/texts.h), and -dirty after it when the work tree
# has changes not committed. The folder holds:
#   README.txt      the box owner's guide (packaging/release/README.txt)
#   kavro-install   the PowerPC installer of the build DIR, stripped, and
#                   passed by the box gate (scripts/box-gate.sh) where it exists
#   kavro-install-uclibc
#                   the same for the boxes' uClibc images, from the uClibc
#                   box build
#   dm7000.dsk      the data disk of each model, packed with `zepa create`
#   dm56xx.dsk      from the files of the model's payload folder (--model
#   dbox2.dsk       MODEL=DIR, or PAYLOADS for every model without one), each
#                   passing `zepa verify --installer`
#   BUILDINFO       the commit, the compilers, binutils and UCL, the box
#                   build's flags and the gate's rows
#   COPYING         the licence
#   source/         the project at its commit (git archive) and the Debian
#                   source package of the UCL the build linked, as fetched
#   SHA256SUMS      the SHA-256 of every file above (sha256sum -c)
#   SHA256SUMS.asc  with --sign: gpg's detached signature of SHA256SUMS
# and it prints the shared libraries the installer needs and the newest C
# library symbol version it uses: the boxes run an older C library than the
# build machine's.
#
# The archive is the same bytes wherever the same commit is built: files in
# a fixed order, times from SOURCE_DATE_EPOCH (by default the commit's
# time), modes 0755 for programs and folders and 0644 for the rest, no
# owners (zip -X). A signature is the one part that differs between runs.
#
# Makes the release in a new folder beside OUTDIR (.NAME.release-XXXXXX for
# an OUTDIR named NAME) and, only when every step passed, points OUTDIR at it:
# OUTDIR is a symbolic link, replaced by a new one in one rename, and the
# previous release is removed after that. A failure, a signal or a power cut
# at any moment leaves OUTDIR naming a complete release, the previous or the
# new one. An OUTDIR that is a folder of an earlier release is exchanged with
# the link in one step too (renameat2's RENAME_EXCHANGE, through python3).
#
# A payload folder's regular files are packed, and a symbolic link to a
# regular file is packed under the link's name; hidden files and editor
# leftovers (.*, *~) are skipped and listed; anything else stops the release,
# naming it. OUTDIR may hold nothing but an earlier release, and may not lie
# inside a payload folder, nor a payload folder inside it.
#
# Options:
#   --build DIR         the box build tree (default build-box, as made by
#                       scripts/ppc-lane.sh); its compilers' prefix
#                       (KAVRO_CROSS_PREFIX) names the strip and readelf used
#   --uclibc-build DIR  the uClibc box build tree (default build-box-uclibc)
#   --zepa PROGRAM      this machine's disk tool (default build/bin/zepa)
#   --box-gate PROGRAM  the check of the stripped installer (default
#                       scripts/box-gate.sh, skipped when it does not exist)
#   --ucl-source DIR    the folder with UCL's Debian source package (its .dsc
#                       and the files it names); default: source/ beside the
#                       lib/ of the UCL the build linked, where
#                       scripts/ppc-lane.sh keeps it
#   --sign KEY          sign SHA256SUMS with gpg's secret key KEY
#   --model MODEL=DIR   the payload folder of MODEL (dm7000, dm56xx or
#                       dbox2); repeatable
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-box
uclibc_build=$here/build-box-uclibc
zepa=$here/build/bin/zepa
gate=$here/scripts/box-gate.sh
ucl_source=
sign_key=
models=(dm7000 dm56xx dbox2)
# The files of a release, in the order its archive and SHA256SUMS list them;
# the folder source/ follows, then SHA256SUMS and its signature.
files=(README.txt kavro-install kavro-install-uclibc "${models[@]/%/.dsk}" BUILDINFO COPYING)
# The programs among them: each stripped from its build, passed by the gate.
programs=(kavro-install kavro-install-uclibc)
# What an OUTDIR that is a folder may hold: an earlier release, loose or
# as an archive and its folder.
earlier_files=(kavro-install kavro-install-uclibc "${models[@]/%/.dsk}" SHA256SUMS 'kavro-*')
declare -A payloads=()

usage() {
  echo "usage: scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM] [--box-gate PROGRAM]" \
    "[--ucl-source DIR] [--sign KEY] [--model MODEL=DIR]... OUTDIR [PAYLOADS]" >&2
  exit 2
}
die() { echo "release: $*" >&2; exit 2; }
fail() { echo "release: $*; OUTDIR is as it was" >&2; exit 1; }

operands=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift ;;
    --uclibc-build) [ $# -ge 2 ] || usage; uclibc_build=$2; shift ;;
    --zepa) [ $# -ge 2 ] || usage; zepa=$2; shift ;;
    --box-gate) [ $# -ge 2 ] || usage; gate=$2; shift ;;
    --ucl-source) [ $# -ge 2 ] || usage; ucl_source=$2; shift ;;
    --sign) [ $# -ge 2 ] || usage; sign_key=$2; shift ;;
    --model)
      [ $# -ge 2 ] || usage
      [[ $2 == *=* ]] || die "--model needs MODEL=DIR, got '$2'"
      case ${2%%=*} in
        dm7000|dm56xx|dbox2) ;;
        *) die "unknown model '${2%%=*}' (dm7000, dm56xx or dbox2)" ;;
      esac
      payloads[${2%%=*}]=${2#*=}
      shift ;;
    -h|--help) usage ;;
    -*) die "unknown option '$1'" ;;
    *) operands+=("$1") ;;
  esac
  shift
done
[ ${#operands[@]} -ge 1 ] && [ ${#operands[@]} -le 2 ] || usage
common=${operands[1]:-}

# --- what is asked, checked before anything is written ----------------------

# built_in PROGRAM: the build tree that makes PROGRAM.
built_in() { [ "$1" = kavro-install-uclibc ] && echo "$uclibc_build" || echo "$build"; }
for program in "${programs[@]}"; do
  [ -x "$(built_in "$program")/bin/$program" ] ||
    die "no $program at $(built_in "$program")/bin (run scripts/ppc-lane.sh, or give --build or --uclibc-build)"
done
[ -x "$zepa" ] || die "no disk tool at $zepa (build this machine's tree, or give --zepa)"
# OUTDIR's own name, not what its link names: its folder made absolute.
base=$(basename -- "${operands[0]}")
case $base in / | . | ..) die "OUTDIR may not be ${operands[0]}" ;; esac
parent=$(realpath -m -- "$(dirname -- "${operands[0]}")")
out=${parent%/}/$base
[ -d "$parent" ] || die "no folder $parent for OUTDIR"
if [ -L "$out" ]; then
  [[ $(readlink -- "$out") == ".$base.release-"?????? ]] ||
    die "$out: a symbolic link, but not to a release made here (.$base.release-XXXXXX beside it)"
elif [ -e "$out" ]; then
  [ -d "$out" ] || die "$out: not a folder"
  for f in "$out"/* "$out"/.*; do
    name=${f##*/}
    case $name in '*' | '.*' | . | ..) continue ;; esac
    known=0
    for pattern in "${earlier_files[@]}"; do
      # shellcheck disable=SC2053 # a pattern on purpose
      [[ $name != $pattern ]] || known=1
    done
    [ "$known" -eq 1 ] || die "$out holds $name, which is not part of a release; give an empty or new folder"
  done
fi

for model in "${models[@]}"; do
  [ -n "${payloads[$model]:-}" ] || payloads[$model]=$common
  [ -n "${payloads[$model]}" ] || die "no payload folder for $model (--model $model=DIR or PAYLOADS)"
  [ -d "${payloads[$model]}" ] || die "$model: no such folder: ${payloads[$model]}"
  dir=$(realpath -- "${payloads[$model]}")
  payloads[$model]=$dir
  case $out/ in "$dir"/*) die "OUTDIR $out lies inside the payload folder $dir" ;; esac
  case $dir/ in "$out"/* | "$parent/.$base.release-"*) die "the payload folder $dir lies inside OUTDIR $out" ;; esac
done

cross_prefix=$(sed -n 's/^KAVRO_CROSS_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
cross_prefix=${cross_prefix:-powerpc-linux-gnu-}
for tool in strip readelf; do
  command -v "${cross_prefix}$tool" >/dev/null || die "no ${cross_prefix}$tool (the cross binutils)"
done
for tool in git zip unzip; do
  command -v "$tool" >/dev/null || die "no $tool (Debian package $tool)"
done

# The commit and the name. The project's source comes from git, never from
# the work tree: a tree with changes not committed gives a -dirty release.
commit=$(git -C "$here" rev-parse --verify -q 'HEAD^{commit}') ||
  die "$here is not a git checkout with a commit: a release carries its source from git"
dirty=
[ -z "$(git -C "$here" status --porcelain --untracked-files=no)" ] || dirty=-dirty
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct "$commit")}
export SOURCE_DATE_EPOCH
read -r kavro_version installer_version < <(
  sed -n 's/.*Welcome to Kavro v\([^ ]*\) for %s -- installer v\([0-9][0-9.]*\).*/\1 \2/p' "$here/installer/texts.h")
[ -n "${installer_version:-}" ] || die "no versions in the installer's banner (installer/texts.h)"
# The project's source, as git makes it from the commit, is named without
# -dirty: it is the commit's.
source_name=kavro-$kavro_version-installer-$installer_version
name=$source_name$dirty
[ -z "$dirty" ] || echo "release: the work tree has changes not committed: the release is $name"

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" 2>/dev/null | head -n 1; }

# UCL's source package: the .dsc and each file it names, as fetched.
if [ -z "$ucl_source" ]; then
  ucl_library=$(cache_value UCL_STATIC_LIBRARY)
  ucl_source=$(dirname -- "$(dirname -- "${ucl_library:-/none/lib/libucl.a}")")/source
fi
ucl_source=$(realpath -m -- "$ucl_source")
dscs=("$ucl_source"/ucl_*.dsc)
[ ${#dscs[@]} -eq 1 ] && [ -f "${dscs[0]}" ] ||
  die "no UCL source package (one ucl_*.dsc) in $ucl_source; scripts/ppc-lane.sh keeps the one it builds, or give --ucl-source DIR"
ucl_version=$(sed -n 's/^Version: //p' "${dscs[0]}")
ucl_files=("${dscs[0]##*/}")
while read -r sum _ file; do
  [ -f "$ucl_source/$file" ] || die "$ucl_source: no $file, which ${ucl_files[0]} names"
  [ "$(sha256sum <"$ucl_source/$file")" = "$sum  -" ] || die "$ucl_source/$file: not the file ${ucl_files[0]} names"
  ucl_files+=("$file")
done < <(awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF == 3' "${dscs[0]}")
[ ${#ucl_files[@]} -gt 1 ] || die "${dscs[0]}: names no files (Checksums-Sha256)"

if [ -n "$sign_key" ]; then
  command -v gpg >/dev/null || die "no gpg (Debian package gnupg) for --sign"
  gpg --batch --list-secret-keys -- "$sign_key" >/dev/null 2>&1 || die "--sign: gpg has no secret key '$sign_key'"
fi

# checkpoint NAME: the moments of the swap, where a test stops the release
# as a signal or a power cut would (KAVRO_RELEASE_STOP=NAME:SIGNAL).
checkpoint() {
  [ "${KAVRO_RELEASE_STOP:-}" != "" ] && [ "${KAVRO_RELEASE_STOP%%:*}" = "$1" ] || return 0
  kill -s "${KAVRO_RELEASE_STOP#*:}" $$
}

# payload_files MODEL: the paths to pack for MODEL, each ended by a zero
# byte, in name order; the skipped names go to the array `skipped`. Stops at anything but
# a regular file or a link to one.
skipped=()
payload_files() {
  local dir=${payloads[$1]} path name
  skipped=()
  while IFS= read -r -d '' path; do
    name=${path##*/}
    case $name in
      .* | *~) skipped+=("$name"); continue ;;
    esac
    if [ -f "$path" ]; then
      printf '%s\0' "$path"
    elif [ -L "$path" ]; then
      fail "$1: $path is a link to nothing packable; only regular files and links to them are packed"
    else
      fail "$1: $path is not a regular file; only regular files and links to them are packed"
    fi
  done < <(find "$dir" -mindepth 1 -maxdepth 1 -print0 | LC_ALL=C sort -z)
}

# --- the release, made beside OUTDIR -----------------------------------------

# One release at a time beside OUTDIR: the lock is on the folder that holds it.
exec {lock}<"$parent"
flock -n "$lock" || die "another release is being made in $parent"

# What OUTDIR names, as its link says; empty when OUTDIR is no link.
named() { readlink -- "$out" 2>/dev/null || true; }

# Leftovers of a release cut short by a power cut or SIGKILL.
for left in "$parent/.$base.release-"?????? "$parent/.$base.link-"??????; do
  [ -e "$left" ] || [ -L "$left" ] || continue
  [ "${left##*/}" = "$(named)" ] || rm -rf -- "$left"
done

stage=$(mktemp -d "$parent/.$base.release-XXXXXX")
link=
previous=
# Whatever of this run OUTDIR does not name goes: the new release and its
# link when they were not put in place, the previous release when it was.
cleanup() {
  local path
  for path in "$stage" "$link" "$previous"; do
    [ -z "$path" ] || [ "${path##*/}" = "$(named)" ] || rm -rf -- "$path"
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

dir=$stage/$name
mkdir -p "$dir/source"
gate_rows=()
for program in "${programs[@]}"; do
  "${cross_prefix}strip" -o "$dir/$program" "$(built_in "$program")/bin/$program" || fail "strip of $program failed"
  if [ -x "$gate" ]; then
    KAVRO_CROSS_PREFIX=$cross_prefix "$gate" "$dir/$program" >"$stage/gate.txt" 2>&1 ||
      { cat "$stage/gate.txt" >&2; fail "$program fails the box gate ($gate): a box would not run it"; }
    # The rows as BUILDINFO keeps them: no folder of this machine in them.
    while IFS= read -r row; do gate_rows+=("${row//"$dir/"/}"); done <"$stage/gate.txt"
    [ ${#gate_rows[@]} -gt 0 ] || gate_rows+=("$program: passed $gate")
    rm -f "$stage/gate.txt"
    echo "release: $program passed the box gate"
  else
    gate_rows+=("$program: not checked (no box gate)")
    echo "release: no box gate at $gate: $program not checked against the boxes' loaders"
  fi
done

for model in "${models[@]}"; do
  payload=${payloads[$model]}
  payload_files "$model" >"$stage/files"
  entries=()
  while IFS= read -r -d '' path; do entries+=("$path"); done <"$stage/files"
  rm -f "$stage/files"
  [ ${#entries[@]} -gt 0 ] || fail "$model: no files in $payload"
  [ ${#skipped[@]} -eq 0 ] || echo "release: $model: skipped in $payload: ${skipped[*]}"
  "$zepa" create -q "$dir/$model.dsk" "${entries[@]}" || fail "$model: zepa create failed"
  "$zepa" verify --installer "$dir/$model.dsk" >"$stage/verify.txt" ||
    { grep -v ': OK' "$stage/verify.txt" >&2; fail "$model: zepa verify --installer failed on the files of $payload"; }
  rm -f "$stage/verify.txt"
  echo "release: $model.dsk: ${#entries[@]} files from $payload, verified for the installer"
done

# --- the source, the licence, the guide and how it was built ------------------

project_source=$source_name.tar.gz
git -C "$here" -c tar.umask=0022 archive --format=tar.gz --prefix="$source_name/" -o "$dir/source/$project_source" "$commit" ||
  fail "git archive of $commit failed"
for file in "${ucl_files[@]}"; do cp -- "$ucl_source/$file" "$dir/source/" || fail "cannot copy $file"; done
sources=("$project_source" "${ucl_files[@]}")
cp -- "$here/COPYING" "$dir/COPYING" || fail "no COPYING in $here"

# The guide, with this release's names filled in.
guide=$(sed '1,/^[^#]/{/^#/d}' "$here/packaging/release/README.txt") || fail "no packaging/release/README.txt"
listing="  source/$project_source
      Kavro's own, made with git from its repository at commit
      $commit"
[ -z "$dirty" ] || listing+="
      (the files of this release were built with changes that
      commit does not hold)"
for file in "${ucl_files[@]}"; do listing+=$'\n'"  source/$file"; done
listing+="
      the UCL library: Debian's source package ucl $ucl_version,
      as \"apt-get source ucl\" fetches it"
guide=${guide//@KAVRO_VERSION@/$kavro_version}
guide=${guide//@INSTALLER_VERSION@/$installer_version}
guide=${guide//@NAME@/$name}
guide=${guide//@SOURCES@/$listing}
printf '%s\n' "$guide" >"$dir/README.txt"

# BUILDINFO: what made the files, without a folder of this machine in it.
version_of() { [ -n "$1" ] && "$1" --version 2>/dev/null | head -n 1 || echo unknown; }
# The folders as words: UCL's prefix, the target libraries' prefix (often
# beside it), the build and the source (which may hold the others).
ucl_prefix=$(dirname -- "$ucl_source")
folders=("$ucl_prefix=UCL" "$(cache_value KAVRO_TARGET_PREFIX)=TARGET" "$(cache_value CMAKE_BINARY_DIR)=BUILD"
         "$(realpath -- "$build")=BUILD" "$(cache_value CMAKE_HOME_DIRECTORY)=SOURCE")
no_paths() {
  local script="" folder from
  for folder in "${folders[@]}"; do
    from=${folder%=*}
    [ ${#from} -le 1 ] || script+="s|$from|${folder##*=}|g;"  # not "" or "/"
  done
  sed "$script"
}
source_dir=$(cache_value CMAKE_HOME_DIRECTORY)
# compile_command FILE: the box build's command for FILE (compile_commands.json).
compile_command() {
  sed -n "s|^ *\"command\": \"\(.*\) -c $source_dir/$1\",\$|\1|p" "$build/compile_commands.json" 2>/dev/null |
    head -n 1 || true
}
cxx_command=$(compile_command installer/main.cpp)
c_command=$(compile_command installer/box/box_runtime.c)
# flags_of COMMAND: its options, without the compiler, the output and a folder of this machine.
flags_of() {
  local flags
  flags=$(sed 's/^[^ ]* //; s/ -o [^ ]*$//' <<<"$1" | no_paths)
  echo "${flags:-unknown}"
}
link_flags=$(sed 's/^[^ ]* //; s/ -o [^ ]*//' "$build/installer/CMakeFiles/kavro-install.dir/link.txt" 2>/dev/null | no_paths || true)
# The uClibc box build's link, with its own folders as words: the uClibc it
# links, the UCL built against it, the build and the source.
uclibc_value() { sed -n "s/^$1:[A-Z]*=//p" "$uclibc_build/CMakeCache.txt" 2>/dev/null || true; }
uclibc_no_paths() {
  local ucl folders
  ucl=$(uclibc_value UCL_STATIC_LIBRARY)
  folders=("$(uclibc_value KAVRO_BOX_SYSROOT)=UCLIBC" "${ucl%/lib/*}=UCL_UCLIBC"
           "$(uclibc_value CMAKE_BINARY_DIR)=BUILD_UCLIBC" "$(realpath -- "$uclibc_build")=BUILD_UCLIBC"
           "$(uclibc_value CMAKE_HOME_DIRECTORY)=SOURCE")
  no_paths
}
uclibc_link_flags=$(sed 's/^[^ ]* //; s/ -o [^ ]*//' "$uclibc_build/installer/CMakeFiles/kavro-install.dir/link.txt" 2>/dev/null |
  uclibc_no_paths || true)
{
  echo "release:      $name"
  echo "commit:       $commit${dirty:+ (built with changes not committed)}"
  echo "source date:  SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
  echo "C compiler:   $(version_of "${c_command%% *}")"
  echo "C++ compiler: $(version_of "${cxx_command%% *}")"
  echo "binutils:     $(version_of "${cross_prefix}ld")"
  echo "UCL:          Debian source package ucl $ucl_version, built with: $(cat "$ucl_prefix/.ucl-done" 2>/dev/null || echo unknown)"
  echo "build type:   $(cache_value CMAKE_BUILD_TYPE)"
  echo "C++ flags:    $(flags_of "$cxx_command")"
  echo "C flags:      $(flags_of "$c_command")"
  echo "link flags:   ${link_flags:-unknown}"
  echo "uClibc link:  ${uclibc_link_flags:-unknown} (kavro-install-uclibc; UCLIBC: uClibc-ng from Debian's" \
    "uclibc-source, scripts/box-uclibc.sh; the same compilers and code flags)"
  echo "disks:        $(version_of "$zepa"), its default settings"
  echo "box gate:"
  printf '  %s\n' "${gate_rows[@]}"
} >"$dir/BUILDINFO"

# --- the archive ---------------------------------------------------------------

# Every release has the same modes and times, whoever made it where.
find "$dir" -type d -exec chmod 0755 {} +
find "$dir" -type f -exec chmod 0644 {} +
for program in "${programs[@]}"; do chmod 0755 "$dir/$program"; done
listed=("${files[@]}" "${sources[@]/#/source/}")
(cd "$dir" && sha256sum -- "${listed[@]}" >SHA256SUMS) || fail "sha256sum failed"
listed+=(SHA256SUMS)
if [ -n "$sign_key" ]; then
  gpg --batch --yes --quiet --local-user "$sign_key" --armor --detach-sign -o "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" ||
    fail "gpg cannot sign SHA256SUMS with '$sign_key'"
  chmod 0644 "$dir/SHA256SUMS.asc"
  listed+=(SHA256SUMS.asc)
  echo "release: SHA256SUMS signed with $sign_key"
fi
find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
entries=("$name/")
for file in "${listed[@]}"; do
  [ "$file" != "source/${sources[0]}" ] || entries+=("$name/source/")
  entries+=("$name/$file")
done
(cd "$stage" && TZ=UTC0 zip -X -q "$name.zip" "${entries[@]}") || fail "zip failed"
unzip -tqq "$stage/$name.zip" || fail "the archive does not test whole"

# --- what the installer needs from the box -----------------------------------

needed=$("${cross_prefix}readelf" -d "$dir/kavro-install" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
symbols=$("${cross_prefix}readelf" -W --dyn-syms "$dir/kavro-install" | grep -o '[A-Za-z0-9_]*@GLIBC_[0-9][0-9.]*' || true)
newest=$(grep -o 'GLIBC_[0-9][0-9.]*' <<<"$symbols" | sort -u -V | tail -n 1)

# --- the swap: the new release takes OUTDIR's place ----------------------------

# exchange A B: A and B trade places in one step (renameat2 with
# RENAME_EXCHANGE), where python3 and the file system offer it.
exchange() {
  command -v python3 >/dev/null || return 1
  python3 - "$1" "$2" <<'EOF'
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
if libc.renameat2(AT_FDCWD, os.fsencode(sys.argv[1]), AT_FDCWD, os.fsencode(sys.argv[2]), RENAME_EXCHANGE):
    sys.exit("release: cannot exchange " + sys.argv[2] + " in one step: " + os.strerror(ctypes.get_errno()))
EOF
}

chmod 0755 "$stage"
checkpoint staged
find "$stage" -exec sync -- {} +
sync -- "$stage"
checkpoint flushed
link=$(mktemp -u "$parent/.$base.link-XXXXXX")
ln -s -- "${stage##*/}" "$link"
checkpoint linked
if [ -L "$out" ] || [ ! -e "$out" ]; then
  [ ! -L "$out" ] || previous=$parent/$(named)
  mv -T -- "$link" "$out" || fail "cannot put the new release in place"
  link=
elif exchange "$link" "$out"; then
  previous=$link
  link=
else
  # A folder where no exchange is to be had: two renames, which no signal
  # may part (only a power cut between them leaves OUTDIR missing, the
  # previous release then being the other .$base.release-* folder).
  echo "release: $out is changed from a folder into a link in two renames"
  trap '' INT TERM HUP
  previous=$(mktemp -u "$parent/.$base.release-XXXXXX")
  mv -T -- "$out" "$previous" || fail "cannot move the previous release aside"
  mv -T -- "$link" "$out" || { mv -T -- "$previous" "$out"; previous=; fail "cannot put the new release in place"; }
  link=
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
fi
checkpoint switched
sync -- "$parent"
checkpoint published
[ -z "$previous" ] || rm -rf -- "$previous"
previous=
checkpoint done

echo "release: kavro-install needs: $(paste -sd " " <<<"$needed")"
echo "release: newest C library symbol version: ${newest:-none}" \
  "($(grep "@$newest\$" <<<"$symbols" | sed 's/@.*//' | sort -u | paste -sd " "))"
echo "release: written to $out: $name.zip ($(stat -c %s "$out/$name.zip") bytes) and the folder $name"
echo "release: $name.zip SHA-256 $(sha256sum <"$out/$name.zip" | cut -d ' ' -f 1) (for the download page)"
echo "release: $name holds:"
(cd "$out/$name" && find . -type f -printf '%P\n' | LC_ALL=C sort | while IFS= read -r file; do
  printf '  %10s %s\n' "$(stat -c %s "$file")" "$file"
done)
