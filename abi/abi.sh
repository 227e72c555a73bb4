#!/usr/bin/env bash
# Holds the ABI of installed libraries against the baselines kept here, one per SONAME, or
# writes those baselines anew (docs/abi.md). The libraries and headers are installed into a
# temporary prefix, unstripped so that their debug information is read, and only types defined
# in the installed headers count: a class's private part, defined in its source, does not.
#
#   abi.sh check  CMAKE BUILD LIBDIR INCLUDEDIR SONAME...   fails on any change but added
#       functions and variables; skips (exit 77) a library whose major version has moved
#   abi.sh update CMAKE BUILD LIBDIR INCLUDEDIR SONAME...   writes the baselines, dropping those
#       of the same libraries' other major versions
# LIBDIR and INCLUDEDIR are relative to the prefix; SONAME is a library's file name with its
# major version, such as libremotoconnection.so.2.
set -euo pipefail
mode=$1 cmake=$2 build=$3 libdir=$4 includedir=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
command -v abidiff >/dev/null || { echo "abidiff is missing: install abigail-tools" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for component in runtime dev script script_dev; do
    "$cmake" --install "$build" --prefix "$work" --component "$component" >/dev/null
done
headers=$work/$includedir

skipped=0
for soname in "$@"; do
    baseline=$here/$soname.abi
    library=$work/$libdir/$soname
    if [ "$mode" = update ]; then
        rm -f "$here/${soname%.*}".*.abi
        # Short source locations: the baseline names no folder of the machine it was made on.
        abidw --headers-dir "$headers" --drop-private-types --no-corpus-path --no-comp-dir-path \
            --short-locs --type-id-style hash --out-file "$baseline" "$library"
        echo "wrote ${baseline#"$here"/}"
    elif [ -e "$baseline" ]; then
        status=0
        abidiff --no-added-syms --drop-private-types --headers-dir2 "$headers" \
            "$baseline" "$library" || status=$?
        if [ "$status" -ne 0 ]; then
            echo "$soname: the ABI differs from abi/${baseline##*/} (abidiff exit status $status):" \
                "undo the change, or move the project's major version (docs/abi.md)" >&2
            exit 1
        fi
    else
        others=("$here/${soname%.*}".*.abi)
        [ -e "${others[0]}" ] || { echo "$soname has no baseline: make abi-baseline" >&2; exit 1; }
        echo "skipped: the major version of $soname moved since abi/${others[0]##*/}"
        skipped=1
    fi
done
[ "$skipped" -eq 0 ] || exit 77
