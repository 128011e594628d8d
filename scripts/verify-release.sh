#!/bin/sh
# Checks a Windows release that someone was handed against the source, in a checkout:
#   scripts/verify-release.sh zelmorth-1.0-windows-x64.zip [--ca CA.pem]
# It reads the commit and SOURCE_DATE_EPOCH from the ZIP's BUILDINFO.txt, builds that
# commit's release unsigned with the commit's own scripts/release.sh in a scratch folder
# (build-verify/, filled by git archive, so the working tree plays no part; removed at the
# end) and compares: each program, with its Authenticode signature taken off by osslsigncode
# remove-signature, must equal the fresh one byte for byte, and every other file in the ZIP
# must equal its fresh counterpart. With --ca, each program's signature must also verify
# against that CA certificate; this is checked before the build, and a signature that fails
# ends the check there.
#
# It prints one line per file: same, DIFFERENT, EXTRA (in the ZIP only), MISSING (in the
# fresh build only) or BAD SIGNATURE. When this machine's toolchain differs from the one that
# BUILDINFO.txt records, it says so first, since that is the likely cause of a difference.
# Status: 0 when every file holds, 1 when one does not, and 2, with one line on standard error,
# when it cannot check: wrong arguments, a file that is not a ZIP, a ZIP without
# BUILDINFO.txt, a commit that this checkout does not have or a build from changes that were
# never committed, an unreadable CA certificate, or a build of the commit that fails.
set -eu
usage="usage: scripts/verify-release.sh ZIP [--ca CA.pem]"
refuse() {
    echo "verify-release: $*" >&2
    exit 2
}

zip=""
ca=""
while [ $# -gt 0 ]; do
    case $1 in
        --ca)
            [ $# -ge 2 ] || refuse "$usage"
            ca=$2
            shift 2
            ;;
        -*) refuse "$usage" ;;
        *)
            [ -z "$zip" ] || refuse "$usage"
            zip=$1
            shift
            ;;
    esac
done
[ -n "$zip" ] || refuse "$usage"
# The paths are the caller's; the script works from the top of its checkout.
case $zip in /*) ;; *) zip=$(pwd)/$zip ;; esac
case $ca in /* | "") ;; *) ca=$(pwd)/$ca ;; esac

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $RELEASE_PACKAGES
export LC_ALL=C

top=$(git rev-parse --show-toplevel 2>/dev/null || true)
if [ -z "$top" ] || [ "$(cd "$top" && pwd -P)" != "$(pwd -P)" ]; then
    refuse "$here is not a git checkout; run this in a clone of zelmorth"
fi
if [ -n "$ca" ] && ! openssl x509 -in "$ca" -noout 2>/dev/null; then
    refuse "cannot read the CA certificate $ca (PEM)"
fi

scratch=$here/build-verify
rm -rf "$scratch"
mkdir -p "$scratch/given" "$scratch/fresh" "$scratch/source"
trap 'rm -rf "$scratch"' EXIT

# unzip_names ZIP FOLDER takes the files out of ZIP into FOLDER and lists them in ZIP order.
unzip_names() {
    python3 - "$1" "$2" 2>/dev/null <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    archive.extractall(sys.argv[2])
    for name in archive.namelist():
        print(name)
EOF
}
# field NAME FILE is the value of the line "NAME: value" in a BUILDINFO.txt.
field() {
    tr -d '\r' < "$2" | sed -n "s/^$1: //p" | head -n 1
}
# signed PROGRAM holds when the program carries a signature (a certificate table).
signed() {
    size=$(x86_64-w64-mingw32-objdump -p "$1" | awk '/Security Directory/ { print $4; exit }')
    [ -n "$size" ] && [ "$size" != 00000000 ]
}

[ -f "$zip" ] || refuse "no such file: $zip"
unzip_names "$zip" "$scratch/given" > "$scratch/given.names" ||
    refuse "$zip is not a ZIP file, or a damaged one"
info=$scratch/given/BUILDINFO.txt
[ -f "$info" ] || refuse "$zip holds no BUILDINFO.txt, so it does not say what it was built from"
commit=$(field commit "$info")
epoch=$(field source-date-epoch "$info")
case $commit in *-dirty)
    refuse "the release was built from changes that were never committed, on top of" \
        "${commit%-dirty}; there is no source to check it against" ;;
esac
printf '%s\n' "$commit" | grep -Eqx '[0-9a-f]{40}([0-9a-f]{24})?' ||
    refuse "BUILDINFO.txt in $zip names no commit"
printf '%s\n' "$epoch" | grep -Eqx '[0-9]+' ||
    refuse "BUILDINFO.txt in $zip gives no source-date-epoch"
git cat-file -e "$commit^{commit}" 2>/dev/null ||
    refuse "commit $commit is not in this checkout; fetch it (git fetch) and run this again"

# With --ca, the signatures first: no build can make up for one that fails.
if [ -n "$ca" ]; then
    bad=0
    while IFS= read -r name; do
        case $name in *.exe) ;; *) continue ;; esac
        if ! signed "$scratch/given/$name"; then
            echo "BAD SIGNATURE $name: it is not signed"
            bad=1
        elif ! osslsigncode verify -CAfile "$ca" -in "$scratch/given/$name" \
            > "$scratch/signature.log" 2>&1; then
            if grep -q MISMATCH "$scratch/signature.log"; then
                echo "BAD SIGNATURE $name: the program was changed after it was signed"
            else
                echo "BAD SIGNATURE $name: it does not verify against $ca"
            fi
            bad=1
        fi
    done < "$scratch/given.names"
    if [ "$bad" -ne 0 ]; then
        echo "verify-release: REFUSED: signatures fail against $ca; the release was not rebuilt"
        exit 1
    fi
fi

echo "Building commit $commit (SOURCE_DATE_EPOCH $epoch) unsigned in $scratch ..."
git archive --format=tar "$commit" | tar -xf - -C "$scratch/source"
if ! (cd "$scratch/source" &&
    env -u ZELMORTH_SIGN_KEY -u ZELMORTH_SIGN_CERT -u ZELMORTH_SIGN_TIMESTAMP_URL \
        SOURCE_DATE_EPOCH="$epoch" ZELMORTH_COMMIT="$commit" ./scripts/release.sh) \
    > "$scratch/build.log" 2>&1; then
    tail -n 20 "$scratch/build.log" >&2
    refuse "the release of commit $commit could not be built here (the build's end is above)"
fi
set -- "$scratch"/source/dist/*.zip
unzip_names "$1" "$scratch/fresh" > "$scratch/fresh.names"

# The toolchain first: a different one is the likely cause of any difference below.
toolchain_noted=""
for tool in compiler binutils windres runtime; do
    given=$(field "$tool" "$info")
    fresh=$(field "$tool" "$scratch/fresh/BUILDINFO.txt")
    [ "$given" != "$fresh" ] || continue
    if [ -z "$toolchain_noted" ]; then
        echo "NOTE: this toolchain is not the one that built the release; expect differences"
        toolchain_noted=yes
    fi
    echo "    $tool: release: $given"
    echo "    $tool: here:    $fresh"
done

# Each line: the word, the file's sha256 (of the program without its signature, where it had
# one) and its name, then what was done or found.
sha() { sha256sum < "$1" | cut -d' ' -f1; }
status=0
any_signed=""
while IFS= read -r name; do
    given=$scratch/given/$name
    fresh=$scratch/fresh/$name
    if [ ! -f "$fresh" ]; then
        echo "EXTRA     $(sha "$given")  $name (the fresh build has no such file)"
        status=1
        continue
    fi
    how=""
    case $name in *.exe)
        if signed "$given"; then
            rm -f "$scratch/unsigned.exe"
            if ! osslsigncode remove-signature -in "$given" -out "$scratch/unsigned.exe" \
                > /dev/null 2>&1; then
                echo "DIFFERENT $(sha "$given")  $name (its signature cannot be taken off)"
                status=1
                continue
            fi
            given=$scratch/unsigned.exe
            how="signature ${ca:+verified against $(basename "$ca") and }taken off"
            any_signed=yes
        fi
        ;;
    esac
    if cmp -s "$given" "$fresh"; then
        echo "same      $(sha "$given")  $name${how:+ ($how)}"
    else
        echo "DIFFERENT $(sha "$given")  $name (${how:+$how; }fresh build: $(sha "$fresh"))"
        status=1
    fi
done < "$scratch/given.names"
while IFS= read -r name; do
    if ! grep -Fxq -- "$name" "$scratch/given.names"; then
        echo "MISSING   $(sha "$scratch/fresh/$name")  $name (in the fresh build, not in the ZIP)"
        status=1
    fi
done < "$scratch/fresh.names"

if [ "$status" -eq 0 ]; then
    echo "verify-release: the ZIP holds commit $commit's release, byte for byte apart from" \
        "the signatures${ca:+, which verify against $ca}"
    if [ -n "$any_signed" ] && [ -z "$ca" ]; then
        echo "verify-release: the signatures were taken off unchecked; --ca CA.pem checks them"
    fi
else
    echo "verify-release: DIFFERENT: the ZIP does not hold commit $commit's release"
fi
exit "$status"
