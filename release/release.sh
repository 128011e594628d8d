#!/bin/sh
# Builds the Windows programs for users from a fresh build folder (build-release/) and writes
# the release into a fresh dist/: the ZIP zelmorth-<version>-windows-x64.zip with the programs,
# README.txt and BUILDINFO.txt, the programs beside it, and SHA256SUMS for the ZIP and the
# programs (check with: cd dist && sha256sum -c SHA256SUMS). The same commit gives the same
# bytes in any folder at any time: the ZIP's entries carry the time SOURCE_DATE_EPOCH, which in
# a checkout is the commit's own time (a SOURCE_DATE_EPOCH set to another is refused, since
# that release would be no commit's). BUILDINFO.txt records what made the release: the
# version, the commit, SOURCE_DATE_EPOCH and the versions of the cross toolchain.
#
# Signing: with ZELMORTH_SIGN_KEY (an unencrypted PEM private key) and ZELMORTH_SIGN_CERT (the
# PEM signing certificate first, then its chain), both programs are signed with Authenticode
# (SHA-256) before they go into the ZIP, with SOURCE_DATE_EPOCH as the signing time, so a
# signed release is reproducible too; the certificate must be valid at that time.
# ZELMORTH_SIGN_TIMESTAMP_URL adds a time stamp from that RFC 3161 server, which makes every
# signing differ. Only a commit is signed, never a working
# tree with changes that are not committed.
#   ZELMORTH_SIGN_KEY=/secret/key.pem ZELMORTH_SIGN_CERT=/secret/chain.pem ./release/release.sh
#
# In a git checkout the commit and its time come from git. A copy of the files without git
# history (release/check-release.sh and release/verify-release.sh make one) must be handed
# SOURCE_DATE_EPOCH and ZELMORTH_COMMIT, the commit id its files come from, with "-dirty"
# after it when they hold changes that are not committed.
#
# A run that fails says why in one line and leaves no dist/: the release is made in
# build-release/dist and moved to dist/ only when it is whole.
set -eu
start=$(pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
# An earlier release goes first, so that no failed run, not even one that cannot install what
# it needs, leaves one that could pass for its own.
rm -rf dist
. scripts/deps.sh
need_packages $RELEASE_PACKAGES
export LC_ALL=C

fail() {
    echo "release.sh: $*" >&2
    exit 1
}

# The commit comes from git only in a checkout of its own: a copy of the files inside another
# checkout's build folder must not take that checkout's commit.
top=$(git rev-parse --show-toplevel 2>/dev/null || true)
if [ -n "$top" ] && [ "$(cd "$top" && pwd -P)" = "$(pwd -P)" ]; then
    commit=$(git rev-parse HEAD)
    if [ -n "$(git status --porcelain)" ]; then
        commit="$commit-dirty"
    fi
    # A commit's release has one time, the commit's own: one made at another would not be
    # the release that anyone checking it rebuilds.
    commit_time=$(git log -1 --format=%ct)
    if [ -n "${SOURCE_DATE_EPOCH:-}" ] && [ "$SOURCE_DATE_EPOCH" != "$commit_time" ]; then
        fail "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH is not the time of commit $commit" \
            "($commit_time), which its release carries; unset it"
    fi
    SOURCE_DATE_EPOCH=$commit_time
else
    commit=${ZELMORTH_COMMIT:-}
    [ -n "$commit" ] ||
        fail "not a git checkout; set ZELMORTH_COMMIT to the commit these files come from"
    [ -n "${SOURCE_DATE_EPOCH:-}" ] ||
        fail "not a git checkout; set SOURCE_DATE_EPOCH to the commit time"
fi
export SOURCE_DATE_EPOCH
case $SOURCE_DATE_EPOCH in
'' | *[!0-9]* | 0?*) fail "SOURCE_DATE_EPOCH is not a time in seconds" ;;
esac
# An MS-DOS date, which a ZIP entry carries, ends with 2107 (4354819199 is its last second).
if [ "${#SOURCE_DATE_EPOCH}" -gt 10 ] || [ "$SOURCE_DATE_EPOCH" -gt 4354819199 ]; then
    fail "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH is after 2107, which no ZIP entry can hold"
fi
if ! printf '%s\n' "$commit" | grep -Eqx '[0-9a-f]{40}([0-9a-f]{24})?(-dirty)?'; then
    fail "not a full commit id: $commit"
fi

# Everything signing needs is checked before the build, so that a signing that cannot succeed
# costs nothing and leaves nothing.
sign_key=${ZELMORTH_SIGN_KEY:-}
sign_cert=${ZELMORTH_SIGN_CERT:-}
# The paths are the caller's, taken from where the script was started.
case $sign_key in /* | "") ;; *) sign_key=$start/$sign_key ;; esac
case $sign_cert in /* | "") ;; *) sign_cert=$start/$sign_cert ;; esac
sign_timestamp=${ZELMORTH_SIGN_TIMESTAMP_URL:-}
signing=""
if [ -n "$sign_key$sign_cert$sign_timestamp" ]; then
    [ -n "$sign_key" ] ||
        fail "signing asked for, but ZELMORTH_SIGN_KEY (the PEM private key) is not set"
    [ -n "$sign_cert" ] ||
        fail "signing asked for, but ZELMORTH_SIGN_CERT (the PEM certificate) is not set"
    for tool in osslsigncode openssl; do
        command -v "$tool" >/dev/null 2>&1 || fail "signing needs $tool, which is not installed"
    done
    key_public=$(openssl pkey -in "$sign_key" -passin pass: -pubout 2>/dev/null) ||
        fail "cannot read the key ZELMORTH_SIGN_KEY=$sign_key (an unencrypted PEM private key)"
    cert_public=$(openssl x509 -in "$sign_cert" -noout -pubkey 2>/dev/null) ||
        fail "cannot read the certificate ZELMORTH_SIGN_CERT=$sign_cert (PEM)"
    [ "$key_public" = "$cert_public" ] ||
        fail "the key $sign_key does not match the certificate $sign_cert" \
            "(the signing certificate must come first in it)"
    # The signing time is the commit's, and a signature whose signing time falls outside its
    # certificate's dates is refused by the check of the release.
    cert_from=$(openssl x509 -in "$sign_cert" -noout -startdate | sed 's/^notBefore=//')
    cert_until=$(openssl x509 -in "$sign_cert" -noout -enddate | sed 's/^notAfter=//')
    if ! from=$(date -u -d "$cert_from" +%s) || ! until=$(date -u -d "$cert_until" +%s) ||
        [ "$SOURCE_DATE_EPOCH" -lt "$from" ] || [ "$SOURCE_DATE_EPOCH" -gt "$until" ]; then
        fail "the certificate $sign_cert is valid from $cert_from to $cert_until, not at the" \
            "commit's time $SOURCE_DATE_EPOCH, which is the signing time; release a commit" \
            "made while it is valid"
    fi
    case $commit in *-dirty)
        fail "the working tree has changes that are not committed; only a commit is signed" ;;
    esac
    signing=yes
fi

rm -rf build-release
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release

# The version, the programs (in ZIP order) and the read-me all come from the configure step.
version=$(cat build-release/release-version.txt)
zip="zelmorth-$version-windows-x64.zip"
stage=build-release/dist
mkdir "$stage"
programs=""
while IFS= read -r program; do
    [ -n "$program" ] || continue
    cp "$program" "$stage/"
    programs="$programs $(basename "$program")"
done < build-release/release-programs.txt

# The toolchain that built the programs, as the build ran it: the compiler and windres from the
# compile commands, the linker that the compiler calls, and the mingw-w64 runtime it links in.
# Each tool gives its own version line, and where dpkg knows the file, its Debian package too.
# A pipeline's status is that of its last command, so each value is taken in steps that can
# fail on their own: a field that cannot be filled stops the release instead of coming out
# empty.
debian_package() {
    command -v dpkg-query >/dev/null 2>&1 || return 0
    deb_owner=$(dpkg-query -S "$(readlink -f "$1")" 2>/dev/null) || return 0
    deb_name=$(printf '%s\n' "$deb_owner" | grep -v '^diversion' | sed -n '1s/: .*//p')
    [ -n "$deb_name" ] || return 0
    deb_version=$(dpkg-query -W -f='${Version}' "$deb_name") || return 1
    [ -n "$deb_version" ] || return 1
    printf ' (Debian package %s %s)' "$deb_name" "$deb_version"
}
tool_version() {
    tool_path=$(command -v "$1") || return 1
    tool_line=$("$tool_path" --version) || return 1
    tool_line=$(printf '%s\n' "$tool_line" | head -n 1)
    [ -n "$tool_line" ] || return 1
    tool_deb=$(debian_package "$tool_path") || return 1
    printf '%s%s' "$tool_line" "$tool_deb"
}
tools=$(python3 -c '
import json, sys
for entry in json.load(open(sys.argv[1])):
    print(entry["file"].rsplit(".", 1)[-1], entry["command"].split()[0])
' build-release/compile_commands.json) || fail "cannot read build-release/compile_commands.json"
cxx=$(printf '%s\n' "$tools" | sed -n 's/^cpp //p' | head -n 1)
windres=$(printf '%s\n' "$tools" | sed -n 's/^rc //p' | head -n 1)
[ -n "$cxx" ] || fail "the compile commands name no C++ compiler"
[ -n "$windres" ] || fail "the compile commands name no resource compiler"
compiler=$(tool_version "$cxx") || fail "cannot tell the version of the compiler $cxx"
linker=$("$cxx" -print-prog-name=ld) || fail "$cxx does not name its linker"
binutils=$(tool_version "$linker") || fail "cannot tell the version of the linker $linker"
windres_version=$(tool_version "$windres") || fail "cannot tell the version of $windres"
runtime=$(printf '#include <_mingw.h>\n%s\n' \
    '__MINGW64_VERSION_MAJOR.__MINGW64_VERSION_MINOR.__MINGW64_VERSION_BUGFIX' |
    "$cxx" -E -P -x c++ -) || fail "cannot read the mingw-w64 runtime's version from $cxx"
runtime=$(printf '%s\n' "$runtime" | tail -n 1 | tr -d ' ')
printf '%s\n' "$runtime" | grep -Eqx '[0-9]+\.[0-9]+\.[0-9]+' ||
    fail "cannot read the mingw-w64 runtime's version from $cxx"
runtime_library=$("$cxx" -print-file-name=libmingwex.a) ||
    fail "$cxx does not name its mingw-w64 runtime"
runtime_deb=$(debian_package "$runtime_library") ||
    fail "cannot tell the Debian package of $runtime_library"
{
    echo "What zelmorth $version for Windows was built from. Check the programs against the"
    echo "source with release/verify-release.sh and this ZIP, in a checkout of zelmorth."
    echo ""
    # printf, not echo: dash's echo would turn a backslash in a version line into a control.
    printf 'version: %s\n' "$version"
    printf 'commit: %s\n' "$commit"
    printf 'source-date-epoch: %s\n' "$SOURCE_DATE_EPOCH"
    printf 'compiler: %s\n' "$compiler"
    printf 'binutils: %s\n' "$binutils"
    printf 'windres: %s\n' "$windres_version"
    printf 'runtime: mingw-w64 %s%s\n' "$runtime" "$runtime_deb"
} | sed 's/$/\r/' > build-release/BUILDINFO.txt

# Each program is signed into a file of its own and replaces the unsigned one only when
# osslsigncode succeeded and taking the signature off gives back the unsigned program.
if [ -n "$signing" ]; then
    for program in $programs; do
        unsigned="build-release/$program.unsigned"
        signed="build-release/$program.signed"
        mv "$stage/$program" "$unsigned"
        set -- -h sha256 -key "$sign_key" -certs "$sign_cert" -time "$SOURCE_DATE_EPOCH"
        [ -z "$sign_timestamp" ] || set -- "$@" -ts "$sign_timestamp"
        osslsigncode sign "$@" -in "$unsigned" -out "$signed" >/dev/null ||
            fail "osslsigncode could not sign $program"
        if ! osslsigncode remove-signature -in "$signed" -out "$unsigned.again" >/dev/null ||
            ! cmp -s "$unsigned.again" "$unsigned"; then
            fail "taking the signature off the signed $program does not give back the program"
        fi
        mv "$signed" "$stage/$program"
    done
fi

# The ZIP is made by the one piece of code that verify-release.sh also runs, from this build
# folder and the folder of the programs as they are shipped.
python3 release/release_zip.py build-release "$stage" "$SOURCE_DATE_EPOCH" "$stage/$zip"
# shellcheck disable=SC2086
(cd "$stage" && sha256sum "$zip" $programs > SHA256SUMS)
mv "$stage" dist

echo "==== Release $version in dist/${signing:+, signed} (commit $commit," \
    "entry time $SOURCE_DATE_EPOCH):"
(cd dist && ls -l && cat SHA256SUMS)
