#!/bin/sh
# Builds the stub again from a copy of the sources in another folder, with the
# product build's own settings, and compares the result with the stub given:
# two builds of the same sources in different folders must give the same
# bytes (no link time stamp, no build path in the image).
# usage: check_reproducible_stub.sh SOURCE_DIR STUB.exe TOOLCHAIN_IN_SOURCES CMAKE_ARG...
set -eu
source_dir=$1
stub=$2
toolchain=$3
shift 3
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tvk-reproduce.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The sources without any build tree.
mkdir "$work/sources"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/sources" -xf -

cmake -S "$work/sources" -B "$work/build" -G Ninja \
    "-DCMAKE_TOOLCHAIN_FILE=$work/sources/$toolchain" "$@" >"$work/build.log" 2>&1 &&
    cmake --build "$work/build" --target tvkstub >>"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "the second build failed"; }

again="$work/build/tvkstub.exe"
cmp "$stub" "$again" >&2 ||
    fail "the stub built in $work differs from $stub ($(stat -c %s "$stub") and $(stat -c %s "$again") bytes)"
echo "stub: a build in another folder gives the same $(stat -c %s "$stub") bytes"
