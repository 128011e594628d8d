#!/bin/sh
# Builds the Windows programs for users from a fresh build folder (build-release/) and writes
# the release into a fresh dist/: the ZIP zelmorth-<version>-windows-x64.zip with the programs
# and README.txt, the programs beside it, and SHA256SUMS for the ZIP and the programs
# (check with: cd dist && sha256sum -c SHA256SUMS). The same commit gives the same bytes in
# any folder at any time: the ZIP's entries carry the time SOURCE_DATE_EPOCH, by default the
# time of the last commit.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $RELEASE_PACKAGES
export LC_ALL=C

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || true)
    if [ -z "$SOURCE_DATE_EPOCH" ]; then
        echo "release.sh: not a git checkout; set SOURCE_DATE_EPOCH to the commit time" >&2
        exit 1
    fi
fi
export SOURCE_DATE_EPOCH

rm -rf build-release dist
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release

# The version, the programs (in ZIP order) and the read-me all come from the configure step.
version=$(cat build-release/release-version.txt)
zip="zelmorth-$version-windows-x64.zip"
mkdir dist
programs=""
while IFS= read -r program; do
    [ -n "$program" ] || continue
    cp "$program" dist/
    programs="$programs $(basename "$program")"
done < build-release/release-programs.txt
# shellcheck disable=SC2086 # one word per program
python3 scripts/release_zip.py "dist/$zip" "$SOURCE_DATE_EPOCH" \
    $(for p in $programs; do printf '%s ' "dist/$p"; done) build-release/README.txt
# shellcheck disable=SC2086
(cd dist && sha256sum "$zip" $programs > SHA256SUMS)

echo "==== Release $version in dist/ (entry time $SOURCE_DATE_EPOCH):"
(cd dist && ls -l && cat SHA256SUMS)
