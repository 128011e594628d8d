#!/bin/sh
# Builds the program and its tests with warnings as errors and runs every test.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake --preset default
cmake --build --preset default
ctest --preset default
