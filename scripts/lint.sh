#!/bin/sh
# Static analysis of src/, a step of the test command: clang-tidy with the checks in
# .clang-tidy, over the native build's compile database and, for the Windows platform file,
# over the Windows build's; then cppcheck. Prints each tool's findings and their count, and
# fails when either has any.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $LINT_PACKAGES
export LC_ALL=C

log=$(mktemp "${TMPDIR:-/tmp}/zelmorth-lint-XXXXXX")
trap 'rm -f "$log"' EXIT
failed=0

# count_findings LOG prints the number of warnings and errors in a tool's output.
count_findings() {
    grep -cE '^[^ ]+:[0-9]+:[0-9]+: (warning|error|style|performance|portability)' "$1" || true
}

printf '\n== clang-tidy over src/ (native build)\n'
cmake --preset default >/dev/null
native_files=""
for f in src/*.cpp; do
    case "$f" in src/platform_windows*.cpp) ;; *) native_files="$native_files $f" ;; esac
done
# shellcheck disable=SC2086 # one word per file
clang-tidy -p build --quiet $native_files >"$log" 2>&1 || failed=1
grep -v 'warnings\{0,1\} generated\.$' "$log" || true
tidy=$(count_findings "$log")

# The Windows file is checked with the cross build's flags, where the mingw-w64 compiler is
# there. clang finds the mingw-w64 C headers by itself but not the C++ library's headers of
# the POSIX-threads compiler, so they are handed over from that compiler's own search list.
mingw=x86_64-w64-mingw32-g++-posix
if command -v "$mingw" >/dev/null 2>&1; then
    printf '\n== clang-tidy over src/platform_windows.cpp (Windows build)\n'
    cmake --preset windows >/dev/null
    extra=""
    for dir in $("$mingw" -xc++ -E -v /dev/null 2>&1 |
        sed -n '/#include <...> search starts here:/,/End of search list\./p' | grep '^ .*/c++'); do
        extra="$extra --extra-arg=-isystem$dir"
    done
    # shellcheck disable=SC2086 # one word per argument
    clang-tidy -p build-windows --quiet $extra src/platform_windows.cpp >"$log" 2>&1 || failed=1
    grep -v 'warnings\{0,1\} generated\.$' "$log" || true
    tidy=$((tidy + $(count_findings "$log")))
else
    echo "(no $mingw: src/platform_windows.cpp is left to cppcheck)"
fi
echo "clang-tidy findings: $tidy"

printf '\n== cppcheck over src/\n'
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --inline-suppr --error-exitcode=1 --quiet -I src src/ >"$log" 2>&1 || failed=1
cat "$log"
echo "cppcheck findings: $(count_findings "$log")"

if [ "$failed" -ne 0 ]; then
    echo "lint: static analysis has findings (or a tool failed); see above" >&2
    exit 1
fi
