#!/bin/sh
# Checks a Windows release that someone was handed against the source, in a checkout:
#   release/verify-release.sh zelmorth-1.0-windows-x64.zip [--ca CA.pem] [--trust REF]...
# It rebuilds the commit that the ZIP's BUILDINFO.txt names, unsigned, with that commit's own
# release/release.sh in a scratch folder (build-verify/, filled by git archive, so the working
# tree plays no part; removed at the end), attaches each program's signature from the ZIP to
# the fresh program with osslsigncode, makes the ZIP from them with the commit's own
# release/release_zip.py, and compares the whole ZIP with it, byte for byte. Only a commit on
# this checkout's main line (origin/main, else main) or on a ref named with --trust is built.
# With --ca, each signature, and its time stamp if it has one, must verify against that CA
# certificate. release/verify_release.py is the check; this installs what it needs first.
#
# It prints one line per file: same, DIFFERENT, EXTRA (in the ZIP only), MISSING (in the
# fresh build only) or BAD SIGNATURE, and before any build, DUPLICATE, BAD NAME or FOLDER for
# entries that are not distinct plain files. No byte of the ZIP reaches the terminal raw:
# control characters and other bytes outside printable ASCII are shown as \xNN.
# Status: 0 when the ZIP is the release, byte for byte; 1 when it is not, or a signature
# fails; 2, with one line on standard error, when it cannot check: wrong arguments, missing
# packages that cannot be installed, a file that is not a ZIP, a ZIP without BUILDINFO.txt, a
# commit that this checkout does not have or that is on no line it trusts, a build from
# changes that were never committed, an unreadable CA certificate, or a build of the commit
# that fails or makes no single ZIP.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/deps.sh"

# The packages are installed in a subshell, so that a failure there, which would end this
# script with need_packages' own status, is one line and status 2 like any other.
log=$(mktemp "${TMPDIR:-/tmp}/zelmorth-verify-XXXXXX")
# shellcheck disable=SC2086 # one word per package
if ! (need_packages $VERIFY_PACKAGES) > "$log" 2>&1 < /dev/null; then
    cause=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | tr -cd '[:print:]')
    rm -f "$log"
    echo "verify-release: cannot check: the packages it needs could not be installed: $cause" >&2
    exit 2
fi
cat "$log"
rm -f "$log"
if ! python=$(python_with asn1crypto); then
    echo "verify-release: cannot check: no python3 here has asn1crypto (python3-asn1crypto)" >&2
    exit 2
fi
exec "$python" -B "$here/release/verify_release.py" "$@"
