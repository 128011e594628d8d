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

step "No aligned move of a wide register to or from the stack in the released programs"
# GCC for Win64 cannot align the stack beyond 16 bytes, so a 32- or 64-byte register spilled
# with an aligned move faults whenever the stack happens to sit on an odd 16 bytes, which real
# Windows gives about every second run and Wine and Linux never. The programs in dist/ are the
# release build (the windows-release preset); a wide register may go to or from the stack only
# with an unaligned move. The pattern is tried on lines that it must and must not match first.
aligned_spill='vmov(dqa(32|64)?|ap[sd]|ntdqa?|ntp[sd])[[:space:]].*(%[yz]mm[0-9]+.*\(%r[sb]p\)|\(%r[sb]p\).*%[yz]mm[0-9]+)'
must=$(printf '%s\n' 'vmovdqa64 %zmm0,0x40(%rsp)' 'vmovaps 0x20(%rbp),%ymm1' |
    grep -cE "$aligned_spill" || true)
mustnt=$(printf '%s\n' 'vmovdqu64 %zmm0,0x40(%rsp)' 'vmovdqa %xmm6,0x20(%rsp)' |
    grep -cE "$aligned_spill" || true)
if [ "$must" != 2 ] || [ "$mustnt" != 0 ]; then
    echo "test-windows: the aligned-spill pattern misses a spill or matches a safe move" >&2
    exit 1
fi
checked=0
for exe in dist/*.exe; do
    found=$(x86_64-w64-mingw32-objdump -d --no-show-raw-insn "$exe" | grep -E "$aligned_spill" || true)
    if [ -n "$found" ]; then
        printf '%s\n' "$found" | head -n 5 >&2
        echo "test-windows: $exe moves a wide register to or from the stack with an aligned move" >&2
        exit 1
    fi
    wide=$(x86_64-w64-mingw32-objdump -d --no-show-raw-insn "$exe" | grep -cE '%[yz]mm' || true)
    echo "wide registers: $(basename "$exe"): $wide instructions, none an aligned stack move"
    checked=$((checked + 1))
done
[ "$checked" -ge 2 ] || { echo "test-windows: no released programs in dist/" >&2; exit 1; }

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
# Every call of the Windows platform on files goes through its table of system calls, which the
# tests swap; none is made directly.
direct='\b(CreateFileA|ReadFile|WriteFile|FlushFileBuffers|CloseHandle|LockFileEx|UnlockFileEx|MoveFileExA|DeleteFileA|SetFileInformationByHandle|GetFileAttributesA|SetFileAttributesA|GetFileSizeEx|GetVolumeInformationByHandleW|GetTickCount64|Sleep|_findfirst64|_findnext64|_findclose|_stat64)[[:space:]]*\('
if grep -nE "$direct" src/platform_windows.cpp; then
    echo "test-windows: src/platform_windows.cpp calls the system directly, not through its table" >&2
    exit 1
fi

cmake --preset wine
cmake --build --preset wine
ctest --preset wine
