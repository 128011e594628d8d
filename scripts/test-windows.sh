#!/bin/sh
# Builds the Windows program with mingw-w64 (build-windows/zelmorth.exe, statically linked),
# its ZIP for users, the Windows stand-ins and platform tests, and runs the Windows tests and
# the end-to-end suite against the Windows program under Wine (in a prefix of its own).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

step() { printf '\n==== %s\n' "$*"; }

step "Windows build (mingw-w64) and its ZIP"
cmake --preset windows
cmake --build --preset windows
cpack --preset windows

step "Windows tests and end-to-end suite under Wine"
cmake --preset wine
cmake --build --preset wine
ctest --preset wine
