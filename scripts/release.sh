#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# release.sh -- make what a maintainer publishes for the boxes: one archive
# that opens on any desktop, for the box owner, with the complete source of
# what it holds.
#
#   scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM]
#                      [--box-gate PROGRAM | --no-box-gate] [--source DIR]
#                      [--ucl-source DIR] [--sign KEY]
#                      [--model MODEL=DIR]... OUTDIR [PAYLOADS]
#
# OUTDIR then holds NAME.zip and the folder NAME it unpacks to. NAME is
# kavro-VERSION-installer-VERSION with the two versions the installer's
# banner shows (installer/texts.h), and -dirty after it when the work tree
# has changes not committed. The folder holds:
#   README.txt      the box owner's guide (packaging/release/README.txt),
#                   with DOS line ends for every desktop's editor
#   kavro-install   the PowerPC installer of the build DIR, stripped, and
#                   passed by the box gate (scripts/box-gate.sh)
#   kavro-install-uclibc
#                   the same for the boxes' uClibc images, from the uClibc
#                   box build
#   dm7000.dsk      the data disk of each model, packed with `zepa create`
#   dm56xx.dsk      from the files of the model's payload folder (--model
#   dbox2.dsk       MODEL=DIR, or PAYLOADS for every model without one), each
#                   passing `zepa verify --installer`; every plugin (*.so) a
#                   32-bit big-endian PowerPC ELF shared object passed by the
#                   box gate
#   BUILDINFO       what the files were made of and with: the commit, the
#                   Debian packages and their versions, the tools, every
#                   flag of both box builds and their UCL, the payloads with
#                   their SHA-256 and the gate's rows
#   COPYING         the licence
#   source/         the project at its commit (git archive) and the Debian
#                   source package of the UCL the build linked, as fetched
#   SHA256SUMS      the SHA-256 of every file above (sha256sum -c)
#   SHA256SUMS.asc  with --sign: gpg's detached signature of SHA256SUMS
#
# Built from the commit it names: each box build is a CMake tree of this
# source, brought up to date first (cmake --build, which reuses what is up to
# date), and each records the commit and the changes its source held when
# its kavro-install was last built (built-from.txt, scripts/tree-state.sh);
# a record that is not this tree's state now stops the release.
#
# A tree unpacked from a release's source archive, without git, makes the
# same release again: --source names that release's source folder, whose
# archive this tree must be, unchanged, and which gives the UCL source too.
#
# Each payload folder holds a manifest, MANIFEST, which is not packed: one
# line for each file the folder packs,
#   FILE SHA-256 LICENCE ORIGIN VERSION SOURCE
# (words without spaces; lines starting with # are comments), where SOURCE
# is project:PATH (a file of this project's source, which the release
# carries) or an http:// or https:// address of the file's source. A folder
# without a manifest, a file the manifest does not name or whose SHA-256
# differs, and a name the manifest lists that the folder lacks stop the
# release. The guide's licence section and BUILDINFO are made from them.
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
#   --box-gate PROGRAM  the check of the stripped installers and of the
#                       plugins (default scripts/box-gate.sh); one that is
#                       missing or not executable stops the release
#   --no-box-gate       no gate (a vendor's other CPU, say): BUILDINFO says
#                       the files are not checked against the boxes
#   --source DIR        in a tree without git: the folder source of the
#                       release this tree was unpacked from
#   --ucl-source DIR    the folder with UCL's Debian source package (its .dsc
#                       and the files it names); default: the --source
#                       folder, or source/ beside the lib/ of the UCL the
#                       build linked, where scripts/ppc-lane.sh keeps it;
#                       each box build's UCL must come from the same .dsc
#   --sign KEY          sign SHA256SUMS with gpg's secret key KEY
#   --model MODEL=DIR   the payload folder of MODEL (dm7000, dm56xx or
#                       dbox2); repeatable
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-box
uclibc_build=$here/build-box-uclibc
zepa=$here/build/bin/zepa
gate=$here/scripts/box-gate.sh
no_gate=0
release_source=
ucl_source=
ucl_source_given=0
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
  echo "usage: scripts/release.sh [--build DIR] [--uclibc-build DIR] [--zepa PROGRAM]" \
    "[--box-gate PROGRAM | --no-box-gate] [--source DIR] [--ucl-source DIR] [--sign KEY]" \
    "[--model MODEL=DIR]... OUTDIR [PAYLOADS]" >&2
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
    --no-box-gate) no_gate=1 ;;
    --source) [ $# -ge 2 ] || usage; release_source=$2; shift ;;
    --ucl-source) [ $# -ge 2 ] || usage; ucl_source=$2; ucl_source_given=1; shift ;;
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
[ -x "$zepa" ] || die "no disk tool at $zepa (build this machine's tree, or give --zepa)"
# A gate named, or the default one, must run: only --no-box-gate goes without.
if [ "$no_gate" -eq 0 ]; then
  [ -f "$gate" ] && [ -x "$gate" ] ||
    die "no box gate at $gate (missing or not executable); give it with --box-gate, or --no-box-gate to release files not checked against the boxes"
fi
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
for tool in git zip unzip gzip tar dpkg-query; do
  command -v "$tool" >/dev/null || die "no $tool (Debian package ${tool/dpkg-query/dpkg})"
done

# The commit and the name. The project's source comes from git, never from
# the work tree: a tree with changes not committed gives a -dirty release.
# A tree without git is a release's source archive unpacked: its source is
# that archive, which it must match file for file.
state=$("$here/scripts/tree-state.sh" "$here") ||
  die "$here is neither a git checkout with a commit nor a release's source archive unpacked"
commit=$(sed -n 's/^commit //p' <<<"$state")
read -r kavro_version installer_version < <(
  sed -n 's/.*Welcome to Kavro v\([^ ]*\) for %s -- installer v\([0-9][0-9.]*\).*/\1 \2/p' "$here/installer/texts.h")
[ -n "${installer_version:-}" ] || die "no versions in the installer's banner (installer/texts.h)"
# The project's source, as git makes it from the commit, is named without
# -dirty: it is the commit's.
source_name=kavro-$kavro_version-installer-$installer_version
project_source=$source_name.tar.gz
dirty=
if grep -q '^changes ' <<<"$state"; then
  from_git=1
  [ -z "$release_source" ] || die "--source is for a tree without git; $here is a git checkout"
  grep -q '^changes none$' <<<"$state" || dirty=-dirty
  SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct "$commit")}
else
  from_git=0
  [ -n "$release_source" ] ||
    die "$here is not a git checkout: give --source DIR, the folder source of the release it was unpacked from"
  release_source=$(realpath -- "$release_source")
  [ -f "$release_source/$project_source" ] || die "no $project_source in $release_source"
  unpacked=$(mktemp -d)
  tar -xzf "$release_source/$project_source" -C "$unpacked" &&
    archive_state=$("$here/scripts/tree-state.sh" "$unpacked/$source_name") || archive_state=
  rm -rf -- "$unpacked"
  [ "$archive_state" = "$state" ] ||
    die "$here is not $release_source/$project_source unpacked and unchanged"
  SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(sed -n 's/^[0-9a-f]\{40\} \([0-9]*\)$/\1/p' "$here/packaging/release/commit")}
  [ -n "$ucl_source" ] || ucl_source=$release_source
fi
export SOURCE_DATE_EPOCH
name=$source_name$dirty
[ -z "$dirty" ] || echo "release: the work tree has changes not committed: the release is $name"

# Each box build brought up to date from this tree (cmake --build reuses
# what is), then its record of the source it was built from checked.
describe_state() { paste -sd ' ' - | sed 's/^commit \([0-9a-f]\{12\}\)[0-9a-f]*/commit \1/; s/ changes none$/, no changes/; s/ changes \(.\{12\}\).*/, changes \1/; s/ files \(.\{12\}\).*/, files \1/'; }
for tree in "$build" "$uclibc_build"; do
  home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$tree/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$home" ]; then
    [ "$(realpath -- "$home")" = "$here" ] || die "$tree is a build of $home, not of $here"
    echo "release: bringing $tree up to date"
    cmake --build "$tree" --target kavro_built_from >"$tree/release-build.log" 2>&1 ||
      { tail -n 30 "$tree/release-build.log" >&2; die "building $tree failed (its release-build.log)"; }
  fi
  [ -f "$tree/built-from.txt" ] ||
    die "$tree records no source it was built from (built-from.txt): build it with this tree's CMake files"
  [ "$(cat -- "$tree/built-from.txt")" = "$state" ] ||
    die "$tree was built from $(describe_state <"$tree/built-from.txt"), not from this tree ($(describe_state <<<"$state")): build it again"
done
for program in "${programs[@]}"; do
  [ -x "$(built_in "$program")/bin/$program" ] ||
    die "no $program at $(built_in "$program")/bin (run scripts/ppc-lane.sh, or give --build or --uclibc-build)"
done

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
# Each box build's UCL was built from that .dsc: the lane keeps the source
# package of each beside its lib/. With --ucl-source, a build whose UCL has
# none beside it is taken to be built from the one given.
for tree in "$build" "$uclibc_build"; do
  tree_ucl=$(sed -n 's/^UCL_STATIC_LIBRARY:[A-Z]*=//p' "$tree/CMakeCache.txt" 2>/dev/null | head -n 1)
  tree_dscs=("$(dirname -- "$(dirname -- "${tree_ucl:-/none/lib/libucl.a}")")"/source/ucl_*.dsc)
  if [ -f "${tree_dscs[0]}" ]; then
    cmp -s -- "${tree_dscs[0]}" "${dscs[0]}" ||
      die "$tree: its UCL was built from ${tree_dscs[0]}, not from the ${dscs[0]##*/} the release carries (${dscs[0]})"
  elif [ "$ucl_source_given" -eq 0 ]; then
    die "$tree: no source package beside its UCL (${tree_dscs[0]%/*}/ucl_*.dsc) to check against ${dscs[0]##*/}; give --ucl-source DIR"
  fi
done

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
      MANIFEST) continue ;;
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

# check_manifest MODEL PATH...: the payload folder's MANIFEST names each of
# the files to pack (PATH..., packed under their own names) with their
# SHA-256, and nothing else; each of its lines goes to `manifest_lines`.
manifest_lines=()
declare -A in_project=() file_sums=()
check_manifest() {
  local model=$1 manifest=${payloads[$1]}/MANIFEST line number=0 file sum licence origin version where extra path
  shift
  local -A listed=()
  manifest_lines=()
  [ -f "$manifest" ] ||
    fail "$model: no MANIFEST in ${payloads[$model]}: it names each file's SHA-256, licence, origin, version and source"
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=${line%$'\r'}
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    read -r file sum licence origin version where extra <<<"$line"
    [ -n "$where" ] && [ -z "$extra" ] ||
      fail "$manifest, line $number: not FILE SHA-256 LICENCE ORIGIN VERSION SOURCE"
    [[ $sum =~ ^[0-9a-f]{64}$ ]] || fail "$manifest, line $number: '$sum' is not a SHA-256 (64 hexadecimal digits)"
    case $where in
      project:?*)
        if [ -z "${in_project[$where]:-}" ]; then
          if [ "$from_git" -eq 1 ]; then
            git -C "$here" cat-file -e "$commit:${where#project:}" 2>/dev/null
          else
            [ -f "$here/${where#project:}" ]
          fi || fail "$manifest, line $number: no ${where#project:} in the project's source at $commit"
          in_project[$where]=1
        fi ;;
      http://?* | https://?*) ;;
      *) fail "$manifest, line $number: SOURCE '$where' is neither project:PATH nor an http:// or https:// address" ;;
    esac
    [ -z "${listed[$file]:-}" ] || fail "$manifest, line $number: $file is named twice"
    listed[$file]="$file $sum $licence $origin $version $where"
  done <"$manifest"
  while read -r sum path; do file_sums[${path#\*}]=$sum; done < <(sha256sum -b -- "$@")
  for path in "$@"; do
    file=${path##*/}
    [ -n "${listed[$file]:-}" ] || fail "$model: $file is not in $manifest"
    sum=${file_sums[$path]}
    read -r _ line _ <<<"${listed[$file]}"
    [ "$sum" = "$line" ] || fail "$model: $file is not the file $manifest names (SHA-256 $sum, not $line)"
    manifest_lines+=("${listed[$file]}")
    unset "listed[$file]"
  done
  [ ${#listed[@]} -eq 0 ] || fail "$model: $manifest names $(printf '%s\n' "${!listed[@]}" | sort | paste -sd ' '), which ${payloads[$model]} does not hold"
}

# elf_shared_object PATH: says why PATH is not a 32-bit big-endian PowerPC
# ELF shared object, the only kind of plugin the boxes' menu loads; nothing
# when it is one.
elf_shared_object() {
  local h
  h=$(od -An -v -tx1 -w20 -N20 -- "$1")
  h=${h// /}
  if [ "${h:0:8}" != 7f454c46 ]; then echo "not an ELF file"
  elif [ "${h:8:2}" != 01 ]; then echo "not a 32-bit ELF file"
  elif [ "${h:10:2}" != 02 ]; then echo "not big-endian"
  elif [ "${h:36:4}" != 0014 ]; then echo "not for PowerPC (machine 0x${h:36:4})"
  elif [ "${h:32:4}" != 0003 ]; then echo "not a shared object (type ${h:32:4}: 0002 is a program)"
  fi
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
  if [ "$no_gate" -eq 0 ]; then
    KAVRO_CROSS_PREFIX=$cross_prefix "$gate" "$dir/$program" >"$stage/gate.txt" 2>&1 ||
      { cat "$stage/gate.txt" >&2; fail "$program fails the box gate ($gate): a box would not run it"; }
    # The rows as BUILDINFO keeps them: no folder of this machine in them.
    while IFS= read -r row; do gate_rows+=("${row//"$dir/"/}"); done <"$stage/gate.txt"
    [ ${#gate_rows[@]} -gt 0 ] || gate_rows+=("$program: passed $gate")
    rm -f "$stage/gate.txt"
    echo "release: $program passed the box gate"
  else
    gate_rows+=("$program: not checked (--no-box-gate)")
    echo "release: --no-box-gate: $program not checked against the boxes' loaders"
  fi
done

payload_rows=()
plugin_rows=()
plugins=()  # "SHA-256 MODEL PATH" of each distinct plugin, in order
declare -A plugin_gated=() checked_folder=()
for model in "${models[@]}"; do
  payload=${payloads[$model]}
  payload_files "$model" >"$stage/files"
  entries=()
  while IFS= read -r -d '' path; do entries+=("$path"); done <"$stage/files"
  rm -f "$stage/files"
  [ ${#entries[@]} -gt 0 ] || fail "$model: no files in $payload"
  [ ${#skipped[@]} -eq 0 ] || echo "release: $model: skipped in $payload: ${skipped[*]}"
  payload_rows+=("$model.dsk:")
  # A folder that another model packs already was checked then.
  if [ -n "${checked_folder[$payload]:-}" ]; then
    payload_rows+=("  the files of ${checked_folder[$payload]}.dsk")
  else
    checked_folder[$payload]=$model
    check_manifest "$model" "${entries[@]}"
    payload_rows+=("${manifest_lines[@]/#/  }")
  fi
  # Each plugin: its ELF header, then the gate's rows for a shared object,
  # once for each distinct file.
  for path in "${entries[@]}"; do
    [[ $path == *.so ]] && [ "${checked_folder[$payload]}" = "$model" ] || continue
    plugin=${path##*/}
    why=$(elf_shared_object "$path")
    [ -z "$why" ] || fail "$model: the plugin $plugin is $why; a plugin is a 32-bit big-endian PowerPC ELF shared object"
    sum=${file_sums[$path]}
    [ -z "${plugin_gated[$sum]:-}" ] || continue
    plugin_gated[$sum]=$plugin
    plugins+=("$sum $model $path")
    # The gate on every plugin at once (the machine's cores); the verdicts
    # below, in order.
    [ "$no_gate" -eq 1 ] || {
      status=0
      KAVRO_CROSS_PREFIX=$cross_prefix "$gate" "$path" >"$stage/gate-$sum.txt" 2>&1 || status=$?
      echo "$status" >"$stage/gate-$sum.status"
    } &
  done
  "$zepa" create -q "$dir/$model.dsk" "${entries[@]}" || fail "$model: zepa create failed"
  "$zepa" verify --installer "$dir/$model.dsk" >"$stage/verify.txt" ||
    { grep -v ': OK' "$stage/verify.txt" >&2; fail "$model: zepa verify --installer failed on the files of $payload"; }
  rm -f "$stage/verify.txt"
  echo "release: $model.dsk: ${#entries[@]} files from $payload, verified for the installer"
done

wait
for entry in "${plugins[@]}"; do
  read -r sum model path <<<"$entry"
  plugin=${path##*/}
  if [ "$no_gate" -eq 1 ]; then
    plugin_rows+=("$plugin: a PowerPC shared object, not checked (--no-box-gate)")
    continue
  fi
  [ "$(cat "$stage/gate-$sum.status")" -eq 0 ] ||
    { cat "$stage/gate-$sum.txt" >&2; fail "$model: the plugin $plugin fails the box gate ($gate): a box would not load it"; }
  # The rows it passed, by name, and the gate's count.
  passed=
  count=
  while IFS= read -r row; do
    case $row in
      "box-gate: PASS  "*) row=${row#box-gate: PASS  }; row=${row:0:12}; passed+="${passed:+,}${row%"${row##*[! ]}"}" ;;
      "box-gate: "*" rows passed"*) count=" (${row##*: })" ;;
    esac
  done <"$stage/gate-$sum.txt"
  plugin_rows+=("$plugin: PASS ${passed:-(no rows: $gate)}$count")
  rm -f "$stage/gate-$sum.txt" "$stage/gate-$sum.status"
done

# --- the source, the licence, the guide and how it was built ------------------

if [ "$from_git" -eq 1 ]; then
  git -C "$here" -c tar.umask=0022 archive --format=tar.gz --prefix="$source_name/" -o "$dir/source/$project_source" "$commit" ||
    fail "git archive of $commit failed"
else
  cp -- "$release_source/$project_source" "$dir/source/" || fail "cannot copy $project_source"
fi
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
# The data disks' files, those of one origin, version, licence and source
# together, from the manifests.
payload_text=
while IFS=$'\t' read -r licence origin version where names; do
  payload_text+="$(fmt -w 68 <<<"$names" | sed 's/^/  /')
      $origin $version, under $licence; its source:"
  case $where in
    project:*) payload_text+="
      in source/$project_source,
      the file ${where#project:}" ;;
    *) payload_text+="
      $where" ;;
  esac
  payload_text+=$'\n'
done < <(printf '%s\n' "${payload_rows[@]}" | awk '/^  [^ ]/ && NF == 6 {
    key = $3 "\t" $4 "\t" $5 "\t" $6
    if (!(key in names)) order[++n] = key
    if (index(" " names[key] " ", " " $1 " ") == 0) names[key] = names[key] (names[key] == "" ? "" : " ") $1
  }
  END { for (i = 1; i <= n; i++) print order[i] "\t" names[order[i]] }')
guide=${guide//@KAVRO_VERSION@/$kavro_version}
guide=${guide//@INSTALLER_VERSION@/$installer_version}
guide=${guide//@NAME@/$name}
guide=${guide//@SOURCES@/$listing}
guide=${guide//@PAYLOADS@/${payload_text%$'\n'}}
# DOS line ends: every editor of every desktop shows them as lines.
printf '%s\n' "$guide" | sed 's/$/\r/' >"$dir/README.txt"

# BUILDINFO: what made the files, without a folder of this machine in it,
# the same wherever and from whichever tree of the commit it is made.
# version_of PROGRAM: the first line of its --version (all of it read: no
# program cut short, whose failure would read as no version).
version_of() {
  local version=
  [ -z "$1" ] || version=$("$1" --version 2>/dev/null | sed -n 1p) || version=
  echo "${version:-unknown}"
}
# The box builds' cache entries, read once: tree_value TREE VARIABLE.
declare -A tree_values=()
for tree in "$build" "$uclibc_build"; do
  while IFS='=' read -r key value; do
    [ -n "${tree_values[$tree ${key%%:*}]+set}" ] || tree_values[$tree ${key%%:*}]=$value
  done < <(grep -E '^[A-Za-z_][A-Za-z0-9_]*:[A-Z]+=' "$tree/CMakeCache.txt" 2>/dev/null || true)
done
tree_value() { echo "${tree_values[$1 $2]:-}"; }
# ucl_of TREE: the prefix of the UCL the box build TREE linked.
ucl_of() { local lib; lib=$(tree_value "$1" UCL_STATIC_LIBRARY); echo "${lib%/lib/*}"; }
# no_paths TREE: the folders of the box build TREE as words: its UCL, the
# target libraries' prefix, the uClibc it links, the build and the source.
declare -A no_paths_script=()
for tree in "$build" "$uclibc_build"; do
  script=
  for folder in "$(ucl_of "$tree")=UCL" "$(tree_value "$tree" KAVRO_TARGET_PREFIX)=TARGET" \
                "$(tree_value "$tree" KAVRO_BOX_SYSROOT)=UCLIBC" "$(tree_value "$tree" CMAKE_BINARY_DIR)=BUILD" \
                "$(realpath -- "$tree")=BUILD" "$(tree_value "$tree" CMAKE_HOME_DIRECTORY)=SOURCE"; do
    from=${folder%=*}
    [ ${#from} -le 1 ] || script+="s|$from|${folder##*=}|g;"  # not "" or "/"
  done
  no_paths_script[$tree]=$script
done
no_paths() { sed "${no_paths_script[$1]}"; }
# compile_command TREE FILE: the box build's command for FILE (compile_commands.json).
compile_command() {
  sed -n "s|^ *\"command\": \"\(.*\) -c $(tree_value "$1" CMAKE_HOME_DIRECTORY)/$2\",\$|\1|p" \
    "$1/compile_commands.json" 2>/dev/null | head -n 1 || true
}
# flags_of TREE COMMAND: its options, without the compiler, the output and a folder of this machine.
flags_of() {
  local flags
  flags=$(sed 's/^[^ ]* //; s/ -o [^ ]*$//' <<<"$2" | no_paths "$1")
  echo "${flags:-unknown}"
}
link_of() {
  sed 's/^[^ ]* //; s/ -o [^ ]*//' "$1/installer/CMakeFiles/kavro-install.dir/link.txt" 2>/dev/null | no_paths "$1" ||
    echo unknown
}
ucl_built_with() { { no_paths "$1" <"$(ucl_of "$1")/.ucl-done"; } 2>/dev/null || echo unknown; }
cxx_command=$(compile_command "$build" installer/main.cpp)
c_command=$(compile_command "$build" installer/box/box_runtime.c)

# The Debian packages the files depend on, as a Debian .buildinfo lists
# them: those of the tools the release and the box builds run, of the
# target's headers and libraries and of the source packages built, with
# everything they depend on, each with its version.
# owners PROGRAM...: the packages that hold the programs (under /usr or, not
# merged yet, under /), in one look-up.
owners() {
  local program path paths=()
  for program in "$@"; do
    path=$(command -v -- "$program" 2>/dev/null) || continue
    path=$(realpath -- "$path")
    paths+=("$path" "${path#/usr}")
  done
  dpkg-query -S "${paths[@]}" 2>/dev/null | sed 's/: .*//; s/, /\n/g; s/:[^ ]*$//' || true
}
triple=${cross_prefix##*/}
triple=${triple%-}
start_packages=(g++-"$triple" libc6-dev-"${triple%%-*}"-cross linux-libc-dev-"${triple%%-*}"-cross uclibc-source
                dpkg-dev xz-utils bzip2
                $(owners "${cross_prefix}gcc" "${cross_prefix}g++" "${cross_prefix}ld" "${cross_prefix}strip" \
                  "${cross_prefix}readelf" "${cross_prefix}objdump" git zip gzip tar sha256sum od sed gawk cmake make \
                  bash ${sign_key:+gpg}))
installed_depends() {
  dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Version}\t${Provides}\t${Pre-Depends}, ${Depends}\n' |
    awk -F '\t' -v start="$*" '
      function bare(word) { sub(/^[ ]+/, "", word); sub(/[ (].*/, "", word); sub(/:.*/, "", word); return word }
      $1 ~ /^ii/ {
        version[$2] = $3; depends[$2] = $5
        n = split($4, provided, ",")
        for (i = 1; i <= n; i++) if (!(bare(provided[i]) in provider)) provider[bare(provided[i])] = $2
      }
      END {
        count = split(start, queue, " ")
        for (head = 1; head <= count; head++) {
          name = queue[head]
          if (!(name in version)) { if (!(name in provider)) continue; name = provider[name] }
          if (name in seen) continue
          seen[name] = 1
          print " " name " (= " version[name] "),"
          n = split(depends[name], each, ",")
          for (i = 1; i <= n; i++) {
            m = split(each[i], alternatives, "|")
            for (j = 1; j <= m; j++) {
              word = bare(alternatives[j])
              if (word in version || word in provider) { queue[++count] = word; break }
            }
          }
        }
      }' | LC_ALL=C sort | sed '$ s/,$//'
}

# The uClibc box build's C library: the cache folder scripts/box-uclibc.sh
# names after uclibc-source's and the kernel headers' versions.
uclibc_root=$(tree_value "$uclibc_build" KAVRO_BOX_SYSROOT)
uclibc_key=$(basename -- "$(dirname -- "${uclibc_root:-/unknown/root}")")
# The target's FreeType headers the box builds compile against.
target_prefix=$(tree_value "$build" KAVRO_TARGET_PREFIX)
freetype_version=$(awk '/#define FREETYPE_(MAJOR|MINOR|PATCH)/ { v = v (v == "" ? "" : ".") $3 } END { print v }' \
  "$target_prefix/include/freetype2/freetype/freetype.h" 2>/dev/null || true)
freetype_dsc=$(sed -n 's/^Version: //p' "$target_prefix"/freetype-src/freetype_*.dsc 2>/dev/null | head -n 1 || true)
{
  echo "release:      $name"
  echo "commit:       $commit${dirty:+ (built with changes not committed)}"
  echo "source date:  SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
  echo "C compiler:   $(version_of "${c_command%% *}")"
  echo "C++ compiler: $(version_of "${cxx_command%% *}")"
  echo "binutils:     $(version_of "${cross_prefix}ld")"
  echo "tools:        $(git --version); $(zip -v 2>/dev/null | sed -n 's/^This is \(Zip [^ ]*\).*/\1/p');" \
    "$(version_of gzip); $(version_of tar); $(version_of sha256sum); $(version_of cmake)"
  echo "build type:   $(tree_value "$build" CMAKE_BUILD_TYPE)"
  echo "kavro-install (the box build; UCL: its UCL, TARGET: the target libraries, BUILD, SOURCE: its folders):"
  echo "  C++ flags:  $(flags_of "$build" "$cxx_command")"
  echo "  C flags:    $(flags_of "$build" "$c_command")"
  echo "  link flags: $(link_of "$build")"
  echo "  UCL:        Debian source package ucl $ucl_version, built with: $(ucl_built_with "$build")"
  echo "  FreeType:   the headers of FreeType ${freetype_version:-unknown}" \
    "(Debian source package freetype ${freetype_dsc:-unknown})"
  echo "kavro-install-uclibc (the uClibc box build; UCLIBC: uClibc-ng $uclibc_key from Debian's uclibc-source," \
    "scripts/box-uclibc.sh):"
  echo "  C++ flags:  $(flags_of "$uclibc_build" "$(compile_command "$uclibc_build" installer/main.cpp)")"
  echo "  C flags:    $(flags_of "$uclibc_build" "$(compile_command "$uclibc_build" installer/box/uclibc_runtime.c)")"
  echo "  link flags: $(link_of "$uclibc_build")"
  echo "  UCL:        Debian source package ucl $ucl_version, built with: $(ucl_built_with "$uclibc_build")"
  echo "disks:        $(version_of "$zepa"), its default settings"
  echo "payloads (each folder's MANIFEST: FILE SHA-256 LICENCE ORIGIN VERSION SOURCE):"
  printf '  %s\n' "${payload_rows[@]}"
  echo "box gate:"
  printf '  %s\n' "${gate_rows[@]}"
  echo "plugins (32-bit big-endian PowerPC ELF shared objects; the box gate's rows):"
  printf '  %s\n' "${plugin_rows[@]:-none}"
  echo "Installed-Build-Depends:"
  installed_depends "${start_packages[@]}"
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
