#!/bin/sh
# Builds the program and its tests and runs every suite: the normal build with warnings as
# errors, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# coverage build whose line and branch figures for src/ are printed, a short fuzzing run of
# every reader and a valgrind memcheck of the demo run.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

step() { printf '\n==== %s\n' "$*"; }

step "Native build and tests"
cmake --preset default
cmake --build --preset default
ctest --preset default

step "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

step "Coverage of src/"
cmake --preset coverage
find build-coverage -name '*.gcda' -delete
cmake --build --preset coverage
ctest --preset coverage
gcovr -r . --filter 'src/' --exclude-unreachable-branches --exclude-throw-branches \
    --print-summary build-coverage

step "Fuzzing every reader (30 s per target)"
scripts/fuzz.sh "${ZELMORTH_FUZZ_SECONDS:-30}"

step "valgrind memcheck of the demo run"
scripts/valgrind-demo.sh
