#!/bin/sh
# The Windows part of the test command: builds the Windows stand-ins, launcher and platform
# tests with mingw-w64 (build-windows/), checks that the release for users is reproducible
# (scripts/check-release.sh, which leaves it in dist/), and runs the Windows platform tests and
# the end-to-end suite under Wine, in a prefix of its own, against the programs taken out of
# the release ZIP.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $WINDOWS_TEST_PACKAGES

step() { printf '\n==== %s\n' "$*"; }

step "Windows build (mingw-w64): stand-ins, launcher and platform tests"
cmake --preset windows
cmake --build --preset windows

step "Reproducible Windows release"
scripts/check-release.sh

step "Windows tests and end-to-end suite under Wine, against the released programs"
released=build-wine/released
rm -rf "$released"
mkdir -p "$released"
python3 -m zipfile -e dist/zelmorth-*-windows-x64.zip "$released"
for exe in "$released"/*.exe; do
    cmp "$exe" "dist/$(basename "$exe")"
done
ls -l "$released"
cmake --preset wine
cmake --build --preset wine
ctest --preset wine
