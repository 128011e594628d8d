#!/bin/sh
# Builds the program and its tests and runs every suite: the manuals' relative links, the
# normal build with warnings as errors, static analysis of src/ (clang-tidy and cppcheck), the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows release built
# twice and compared, the signed release checked with a throw-away CA and the end-to-end suite
# against it under Wine, a short fuzzing run of every reader, a valgrind memcheck of the demo
# run, and last a coverage build whose line and branch figures for src/ it prints. Installs
# whatever of its Debian packages is missing first.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $TEST_PACKAGES

step() { printf '\n==== %s\n' "$*"; }

step "Every relative link in README.md and docs/"
python3 scripts/check-links.py

step "Native build and tests"
cmake --preset default
cmake --build --preset default
ctest --preset default

step "Static analysis of src/"
scripts/lint.sh

step "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

./scripts/test-windows.sh

step "Fuzzing every reader (${ZELMORTH_FUZZ_SECONDS:-30} s per target)"
scripts/fuzz.sh "${ZELMORTH_FUZZ_SECONDS:-30}"

step "valgrind memcheck of the demo run"
scripts/valgrind-demo.sh

step "Coverage of src/"
cmake --preset coverage
find build-coverage -name '*.gcda' -delete
cmake --build --preset coverage
ctest --preset coverage
gcovr -r . --filter 'src/' --exclude-unreachable-branches --exclude-throw-branches \
    --print-summary build-coverage
