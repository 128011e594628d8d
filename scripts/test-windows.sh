#!/bin/sh
# The Windows part of the test command: builds the Windows stand-ins, launcher and platform
# tests with mingw-w64 (build-windows/), checks that the release for users is reproducible
# (release/check-release.sh, which leaves it in dist/), checks the signed release with a
# throw-away CA (release/check-signed-release.sh, which leaves it in build-signed/dist/),
# checks that the programs taken out of the signed release ZIP carry the application
# manifest, and runs the Windows platform tests and the end-to-end suite under Wine, in a
# prefix of its own, against those signed programs.
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
release/check-release.sh

step "Signed Windows release, checked against the source"
release/check-signed-release.sh

step "Windows tests and end-to-end suite under Wine, against the signed released programs"
signed=build-signed/dist
released=build-wine/released
rm -rf "$released"
mkdir -p "$released"
python3 -m zipfile -e "$signed"/zelmorth-*-windows-x64.zip "$released"
for exe in "$released"/*.exe; do
    cmp "$exe" "$signed/$(basename "$exe")"
done
ls -l "$released"

# Each program must carry packaging/windows.manifest as its manifest resource, byte for byte:
# windres reads it back out of the program and renders the file itself the same way (the
# header line, which carries memory flags only a .rc file has, left out).
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
    packaging/windows.manifest
printf '1 24 "%s"\n' "$here/packaging/windows.manifest" > build-wine/manifest.rc
manifest_of() { x86_64-w64-mingw32-windres -i "$1" -O rc | sed -n '/^1 24 /,/^END$/p' | sed 1d; }
expected=$(manifest_of build-wine/manifest.rc)
for exe in "$released"/*.exe; do
    if [ -z "$expected" ] || [ "$(manifest_of "$exe")" != "$expected" ]; then
        echo "test-windows: $exe does not carry packaging/windows.manifest" >&2
        exit 1
    fi
    echo "manifest: $(basename "$exe") carries packaging/windows.manifest"
done
cmake --preset wine
cmake --build --preset wine
ctest --preset wine
