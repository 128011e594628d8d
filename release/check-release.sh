#!/bin/sh
# Checks that the Windows release is reproducible: builds it with release/release.sh in this
# checkout and then, later, in a copy of the checkout's tracked files at another path, and
# fails unless the two dist/ folders hold the same files, byte for byte, and the checksums in
# dist/SHA256SUMS hold. The checkout's dist/ stays for the tests that follow.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
export LC_ALL=C

# The copy lives in an ignored build folder of the checkout and is removed at the end. It has
# no git history of its own, so it is handed the commit's time, which the checkout's release
# carries, and the commit that the checkout's release records.
epoch=$(git log -1 --format=%ct)
copy="$here/build-release-copy"
rm -rf "$copy"
mkdir -p "$copy"
trap 'rm -rf "$copy"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"

printf '\n== Release in %s\n' "$here"
./release/release.sh
printf '\n== Release in %s\n' "$copy"
commit=$(tr -d '\r' < build-release/BUILDINFO.txt | sed -n 's/^commit: //p')
(cd "$copy" && SOURCE_DATE_EPOCH=$epoch ZELMORTH_COMMIT=$commit ./release/release.sh)

printf '\n== Comparing the two dist/ folders\n'
(cd dist && find . -type f | sed 's|^\./||' | sort) > "$copy/files.here"
(cd "$copy/dist" && find . -type f | sed 's|^\./||' | sort) > "$copy/files.copy"
if ! cmp -s "$copy/files.here" "$copy/files.copy"; then
    diff "$copy/files.here" "$copy/files.copy" || true
    echo "check-release: the two dist/ folders hold different files" >&2
    exit 1
fi
differ=0
while IFS= read -r file; do
    here_sum=$(sha256sum < "dist/$file" | cut -d' ' -f1)
    copy_sum=$(sha256sum < "$copy/dist/$file" | cut -d' ' -f1)
    if [ "$here_sum" = "$copy_sum" ]; then
        echo "same      $here_sum  $file"
    else
        echo "DIFFERENT $here_sum  $file (copy: $copy_sum)"
        differ=1
    fi
done < "$copy/files.here"
if [ "$differ" -ne 0 ]; then
    echo "check-release: the release is not reproducible" >&2
    exit 1
fi
(cd dist && sha256sum -c SHA256SUMS)
