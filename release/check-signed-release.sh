#!/bin/sh
# Checks the signed Windows release end to end with a throw-away CA and code-signing
# certificate, made with openssl in a temporary folder that is removed at the end:
#   release/check-signed-release.sh
# It works in a clone of the checkout (build-signed/), since only a commit is signed and
# verified: changes in the working tree that are not committed become one commit there.
# - release.sh refuses to sign with the key missing, with a key it cannot read and with a key
#   that is not the certificate's, each with a one-line cause and no dist/ left behind, and
#   leaves no dist/ either when its packages cannot be installed;
# - the signed release is made twice by release/check-release.sh, in the clone and in a copy,
#   and the two must be byte-identical;
# - each program's signature must verify against the throw-away CA;
# - release/verify-release.sh must accept the signed ZIP, and the same with a time stamp on
#   each signature from a throw-away time-stamp authority; refuse a CA that did not issue the
#   certificate, and a ZIP in which one byte of zelmorth.exe was changed, naming the file; say
#   first when the ZIP records another toolchain, with no escape byte of that field reaching
#   the terminal; refuse, each with a line that names the cause, ZIPs made to fool it: a
#   changed zelmorth.exe given twice, a changed one beside ./zelmorth.exe, one in an entry
#   whose name holds a line end, one with a blob beside its signature, one with another PE
#   checksum, one with a time stamp from an authority the CA did not certify, and one whose
#   files are all the release's but whose bytes are not;
# - and it must give status 2 and one line for a file that is not a ZIP, a ZIP without
#   BUILDINFO.txt, a commit the checkout does not have, a build from changes never committed,
#   packages that cannot be installed, and a commit off the clone's main line, whose
#   release.sh must not run; named with --trust, that commit's release.sh runs and makes no
#   ZIP, which is status 2 too. The clone's main line (origin/main) is the commit under test.
# The signed release stays in build-signed/dist/ for the Windows tests that follow.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $RELEASE_PACKAGES
export LC_ALL=C
unset ZELMORTH_SIGN_KEY ZELMORTH_SIGN_CERT ZELMORTH_SIGN_TIMESTAMP_URL

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "check-signed-release: $*" >&2
    exit 1
}

keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT

step "A throw-away CA and code-signing certificate in $keys"
# Valid from 2000 to 2099, so that any commit time, which is the signing time, lies within.
cat > "$keys/ca.cnf" <<EOF
[ca]
default_ca = throwaway
[throwaway]
database = $keys/index.txt
new_certs_dir = $keys
serial = $keys/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_signing]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[time_stamping]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
: > "$keys/index.txt"
echo 01 > "$keys/serial"
# certify NAME SUBJECT EXTENSIONS [ISSUER] makes the key NAME.key and its certificate NAME.pem,
# issued by ISSUER or, without one, by itself.
certify() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/$1.key" 2>/dev/null
    openssl req -new -key "$keys/$1.key" -subj "/CN=$2" -out "$keys/$1.csr"
    if [ $# -ge 4 ]; then
        issuer="-cert $keys/$4.pem -keyfile $keys/$4.key"
    else
        issuer="-selfsign -keyfile $keys/$1.key"
    fi
    # shellcheck disable=SC2086 # the issuer's options
    openssl ca -batch -notext -config "$keys/ca.cnf" -extensions "$3" $issuer \
        -startdate 20000101000000Z -enddate 20991231235959Z \
        -in "$keys/$1.csr" -out "$keys/$1.pem" 2>/dev/null
}
certify ca "zelmorth throw-away CA" root
certify signer "zelmorth throw-away signer" code_signing ca
certify other "another throw-away CA" root
certify tsa "zelmorth throw-away time-stamp authority" time_stamping ca
certify foreign_tsa "another time-stamp authority" time_stamping other
cat "$keys/signer.pem" "$keys/ca.pem" > "$keys/chain.pem"
openssl x509 -in "$keys/signer.pem" -noout -subject -issuer -dates

step "A clone of the checkout in build-signed/"
work=$here/build-signed
rm -rf "$work"
git clone -q --no-local "$here" "$work"
git -C "$work" checkout -q --detach "$(git rev-parse HEAD)"
if [ -n "$(git status --porcelain)" ]; then
    git -C "$work" rm -q -r .
    git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$work"
    git -C "$work" add -A
    git -C "$work" -c user.name=check-signed-release -c user.email=check@invalid \
        commit -q -m "Changes in $here that are not committed"
fi
# The commit under test is the clone's main line, and one commit off it has a release.sh that
# leaves a mark, made beside the working tree through an index of its own.
git -C "$work" update-ref refs/remotes/origin/main HEAD
mark=$keys/mark
(
    cd "$work"
    export GIT_INDEX_FILE="$keys/index"
    git read-tree HEAD
    script=$(printf '#!/bin/sh\necho "this release.sh ran" > "%s"\n' "$mark" |
        git hash-object -w --stdin)
    git update-index --cacheinfo "100755,$script,release/release.sh"
    git update-ref refs/heads/untrusted "$(git -c user.name=check-signed-release \
        -c user.email=check@invalid commit-tree -p HEAD -m "A release.sh that leaves a mark" \
        "$(git write-tree)")"
)
git -C "$work" log -1 --format='%H %s'
cd "$work"

step "release.sh refuses a signing it cannot do, in one line, and leaves no dist/"
while IFS='|' read -r what key cert cause; do
    # A dist/ of an earlier unsigned release must not survive.
    mkdir -p dist
    echo "an earlier, unsigned zelmorth.exe" > dist/zelmorth.exe
    if ZELMORTH_SIGN_KEY=$key ZELMORTH_SIGN_CERT=$cert ./release/release.sh \
        > "$keys/out" 2> "$keys/err" < /dev/null; then
        fail "release.sh signed with $what"
    fi
    [ ! -e dist ] || fail "release.sh, refusing $what, left dist/ behind"
    if [ "$(wc -l < "$keys/err")" -ne 1 ] || ! grep -q "$cause" "$keys/err"; then
        cat "$keys/err" >&2
        fail "release.sh, refusing $what, does not say \"$cause\" in one line"
    fi
    echo "$what: $(cat "$keys/err")"
done <<EOF
the key missing||$keys/chain.pem|ZELMORTH_SIGN_KEY (the PEM private key) is not set
a key it cannot read|$keys/absent.key|$keys/chain.pem|cannot read the key
a key that is not the certificate's|$keys/other.key|$keys/chain.pem|does not match
EOF
# Packages that cannot be installed: none is, and apt-get and sudo fail. An earlier dist/ must
# not survive that either.
mkdir "$keys/bin"
for tool in dpkg-query apt-get sudo; do
    printf '#!/bin/sh\necho "%s: not here" >&2\nexit 1\n' "$tool" > "$keys/bin/$tool"
    chmod +x "$keys/bin/$tool"
done
mkdir -p dist
echo "an earlier, unsigned zelmorth.exe" > dist/zelmorth.exe
if PATH=$keys/bin:$PATH ./release/release.sh > /dev/null 2>&1 < /dev/null; then
    fail "release.sh ran without its packages"
fi
[ ! -e dist ] || fail "release.sh, without its packages, left dist/ behind"
echo "packages that cannot be installed: no dist/ left"

step "The signed release, made twice and compared"
ZELMORTH_SIGN_KEY=$keys/signer.key ZELMORTH_SIGN_CERT=$keys/chain.pem ./release/check-release.sh

step "Each program's signature against the throw-away CA"
for program in dist/*.exe; do
    if ! osslsigncode verify -CAfile "$keys/ca.pem" -in "$program" > "$keys/out" 2>&1; then
        cat "$keys/out" >&2
        fail "the signature of $program does not verify against the throw-away CA"
    fi
    echo "$program: $(grep -E '^(Signature verification|[[:space:]]*Signing time)' "$keys/out" |
        tr -s ' \t\n' ' ')"
done

set -- dist/zelmorth-*-windows-x64.zip
zip=$work/$1
# verify STATUS FILE ARGUMENT... runs verify-release.sh on FILE and fails unless it ends with
# STATUS; its output is in $keys/out and $keys/err.
verify() {
    expected=$1
    shift
    status=0
    ./release/verify-release.sh "$@" > "$keys/out" 2> "$keys/err" < /dev/null || status=$?
    cat "$keys/out"
    if [ "$status" -ne "$expected" ]; then
        cat "$keys/err" >&2
        fail "verify-release.sh $* ended with $status, not $expected"
    fi
}
# line WORD NAME holds when the output has the line for NAME that begins with WORD.
line() {
    awk -v word="$1" -v name="$2" '$1 == word && $3 == name { found = 1 } END { exit !found }' \
        "$keys/out"
}
# rezip OUT CHANGE writes the signed ZIP again with one change: "byte" flips a bit of the
# middle byte of zelmorth.exe, "compiler" names another compiler in BUILDINFO.txt, with an
# escape character and a backslash-n in it, "no-buildinfo" leaves BUILDINFO.txt out and
# "commit=ID" names another commit. Made to fool the check: "duplicate" puts a changed
# zelmorth.exe before the genuine one, "dot-slash" puts the genuine one as ./zelmorth.exe after
# a changed one, "line-end" adds a changed one named "README.txt", a line end, "zelmorth.exe",
# "checksum" changes the PE checksum field of zelmorth.exe, "program=FILE" puts FILE in its
# place, and "comment" adds a ZIP comment, leaving every file as it was.
rezip() {
    python3 - "$zip" "$1" "$2" <<'EOF'
import re, struct, sys, warnings, zipfile
source, out, change = sys.argv[1:4]
warnings.simplefilter("ignore")  # zipfile warns of a name given twice, which is the point
def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1 :]
with zipfile.ZipFile(source) as given, zipfile.ZipFile(out, "w") as changed:
    program = given.read("zelmorth.exe")
    changed_program = flipped(program, len(program) // 2)
    if change == "duplicate":
        changed.writestr("zelmorth.exe", changed_program)
    for info in given.infolist():
        data = given.read(info)
        if info.filename == "zelmorth.exe":
            if change in ("byte", "dot-slash"):
                data = changed_program
            if change == "checksum":
                data = flipped(data, struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64)
            if change.startswith("program="):
                data = open(change[8:], "rb").read()
        if info.filename == "BUILDINFO.txt":
            if change == "no-buildinfo":
                continue
            if change == "compiler":
                compiler = b"compiler: another\x1b[8m compiler 1.0\\n\r"
                data = re.sub(rb"(?m)^compiler: .*$", lambda _: compiler, data)
            if change.startswith("commit="):
                data = re.sub(rb"(?m)^commit: .*$", b"commit: " + change[7:].encode() + b"\r", data)
        changed.writestr(info, data)
    if change == "dot-slash":
        changed.writestr("./zelmorth.exe", program)
    if change == "line-end":
        changed.writestr("README.txt\nzelmorth.exe", changed_program)
    if change == "comment":
        changed.comment = b"every file is the release's"
EOF
}
# cannot CAUSE fails unless verify-release.sh said CAUSE in one line on standard error, and
# nothing on standard output but that it was building.
cannot() {
    if grep -qv '^Building commit ' "$keys/out" || [ "$(wc -l < "$keys/err")" -ne 1 ] ||
        ! grep -qF -- "$1" "$keys/err"; then
        cat "$keys/err" >&2
        fail "verify-release.sh did not say \"$1\" in one line alone"
    fi
    cat "$keys/err"
}
names=$(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$zip")
epoch=$(tr -d '\r' < build-release/BUILDINFO.txt | sed -n 's/^source-date-epoch: //p')

step "verify-release.sh accepts the signed ZIP"
verify 0 "$zip" --ca "$keys/ca.pem"
for name in $names; do
    line same "$name" || fail "verify-release.sh gave no \"same\" line for $name"
done

step "verify-release.sh accepts the signed ZIP with a time stamp on each signature"
# osslsigncode's own time-stamp authority answers with an RFC 3161 time stamp, signed by the
# throw-away one; the ZIP is made from the stamped programs as release.sh makes it.
mkdir "$keys/stamped"
for program in $(python3 release/release_zip.py --programs build-release); do
    osslsigncode add -TSA-certs "$keys/tsa.pem" -TSA-key "$keys/tsa.key" -TSA-time "$epoch" \
        -in "dist/$program" -out "$keys/stamped/$program" > /dev/null
done
python3 release/release_zip.py build-release "$keys/stamped" "$epoch" "$keys/stamped.zip"
verify 0 "$keys/stamped.zip" --ca "$keys/ca.pem"

step "verify-release.sh refuses a CA that did not issue the certificate"
verify 1 "$zip" --ca "$keys/other.pem"
for name in zelmorth.exe zelmorth-check.exe; do
    grep -q "^BAD SIGNATURE $name: it does not verify against" "$keys/out" ||
        fail "verify-release.sh did not refuse the signature of $name"
done

step "verify-release.sh refuses a ZIP with one byte of zelmorth.exe changed"
rezip "$keys/byte.zip" byte
verify 1 "$keys/byte.zip"
line DIFFERENT zelmorth.exe || fail "verify-release.sh did not name zelmorth.exe as DIFFERENT"
for name in $names; do
    [ "$name" = zelmorth.exe ] || line same "$name" ||
        fail "verify-release.sh did not find $name the same"
done

step "verify-release.sh says first when the ZIP records another toolchain, and escapes it"
rezip "$keys/compiler.zip" compiler
verify 1 "$keys/compiler.zip"
sed -n 2p "$keys/out" | grep -q '^NOTE: this toolchain is not the one that built the release' ||
    fail "verify-release.sh did not say first that the toolchain differs"
grep -qF '    compiler: release: another\x1b[8m compiler 1.0\x5cn' "$keys/out" ||
    fail "verify-release.sh did not name the compiler that differs, escaped"
if grep -q "$(printf '\033')" "$keys/out" "$keys/err"; then
    fail "verify-release.sh let an escape character of the ZIP through"
fi
if ! line DIFFERENT BUILDINFO.txt || ! line same zelmorth.exe; then
    fail "verify-release.sh did not find BUILDINFO.txt alone different"
fi

step "verify-release.sh refuses ZIPs made to fool it, naming the cause"
osslsigncode add -addUnauthenticatedBlob -in dist/zelmorth.exe -out "$keys/blob.exe" > /dev/null
osslsigncode add -TSA-certs "$keys/foreign_tsa.pem" -TSA-key "$keys/foreign_tsa.key" \
    -TSA-time "$epoch" -in dist/zelmorth.exe -out "$keys/foreign-stamp.exe" > /dev/null
while IFS='|' read -r change cause; do
    rezip "$keys/crafted.zip" "$change"
    verify 1 "$keys/crafted.zip" --ca "$keys/ca.pem" > /dev/null
    grep -qF -- "$cause" "$keys/out" ||
        fail "verify-release.sh did not refuse the ZIP with $change for \"$cause\""
    echo "$change: $(grep -F -- "$cause" "$keys/out")"
done <<EOF
duplicate|zelmorth.exe (entry 2: the same name as entry 1)
dot-slash|./zelmorth.exe (entry 5: not a plain file name)
line-end|README.txt\x0azelmorth.exe (entry 5: not a plain file name)
program=$keys/blob.exe|the unauthenticated attribute 1.3.6.1.4.1.42921.1.2.1
program=$keys/foreign-stamp.exe|zelmorth.exe: its time stamp does not verify against
checksum|in the PE checksum
comment|DIFFERENT the ZIP itself: its files are the same
EOF

step "verify-release.sh: status 2 and one line when it cannot check"
commit=$(git rev-parse HEAD)
rezip "$keys/no-buildinfo.zip" no-buildinfo
rezip "$keys/unknown.zip" "commit=$(printf '%s' "$commit" | tr 0-9a-f 1-9a-f0)"
rezip "$keys/dirty.zip" "commit=$commit-dirty"
while IFS='|' read -r file cause; do
    verify 2 "$file"
    cannot "$cause"
done <<EOF
$work/README.md|is not a ZIP file
$keys/no-buildinfo.zip|holds no BUILDINFO.txt
$keys/unknown.zip|is not in this checkout
$keys/dirty.zip|changes that were never committed
EOF
# Packages that cannot be installed, with the stand-ins for dpkg-query, apt-get and sudo.
(
    PATH=$keys/bin:$PATH
    verify 2 "$zip"
    cannot "the packages it needs could not be installed"
) || exit 1
# A commit off the main line: its release.sh must not run. Named with --trust, it runs, and
# makes no ZIP.
untrusted=$(git rev-parse untrusted)
rezip "$keys/untrusted.zip" "commit=$untrusted"
verify 2 "$keys/untrusted.zip" --ca "$keys/ca.pem"
cannot "commit $untrusted is not on origin/main"
[ ! -e "$mark" ] || fail "verify-release.sh ran the release.sh of a commit off the main line"
verify 2 "$keys/untrusted.zip" --ca "$keys/ca.pem" --trust untrusted
cannot "the build of commit $untrusted made 0 ZIP files, not one"
[ -e "$mark" ] || fail "verify-release.sh did not build the commit that --trust names"

step "The signed release is in $work/dist"
ls -l dist
