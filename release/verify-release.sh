#!/bin/sh
# Checks a Windows release that someone was handed against the source, in a checkout:
#   release/verify-release.sh zelmorth-1.0-windows-x64.zip [--ca CA.pem] [--trust REF]...
# It rebuilds the commit that the ZIP's BUILDINFO.txt names, unsigned, with that commit's own
# release/release.sh in a scratch folder of its own (build-verify-<random>/, filled by git
# archive, so the working tree plays no part; removed at the end), puts each program's
# signature from the ZIP on the fresh program, makes the ZIP from them with the commit's own
# release/release_zip.py, and compares the whole ZIP with it, byte for byte. Only a commit on
# this checkout's main line (origin/main, else main) or on a ref named with --trust is built,
# and only one whose time is the ZIP's epoch. Each signature may hold only what its signer
# signed, the certificates of its signer's path and one RFC 3161 time stamp, from signers
# that may sign code and stamp time; with --ca, its path must end at that CA. It never goes
# online (a partial clone, from which git would fetch, is refused), so revocation is not
# checked; every program it runs has a time limit, and none of them, the build included, gets
# more of the caller's environment than PATH (docs/windows.md lists what reaches it).
# release/verify_release.py is the check, with the modules beside it (docs/windows.md says
# what each judges); this installs what it needs first, within 15 minutes.
#
# It prints one line per file: same, DIFFERENT, EXTRA (in the ZIP only), MISSING (in the
# fresh build only) or BAD SIGNATURE, and before any build, DUPLICATE, BAD NAME or FOLDER for
# entries that are not distinct plain files, and BAD SIGNATURE for a signature that fails on
# its own; the first five of each kind, then how many more. No byte of the ZIP reaches the
# terminal raw: control characters and other bytes outside printable ASCII are shown as \xNN.
# Status: 0 when the ZIP is the release, byte for byte; 1 when it is not, or a signature
# fails, or BUILDINFO.txt names a commit or an epoch that no release has; 2, with one line on
# standard error, when it cannot check: wrong arguments, missing packages that cannot be
# installed, a file that is not a ZIP, a ZIP without BUILDINFO.txt, a commit that this
# checkout does not have or that is on no line it trusts, a build from changes that were never
# committed, an unreadable CA certificate, a program that outlives its time limit, a build of
# the commit that fails or makes no single ZIP, a set-up that fails (a TMPDIR it cannot write
# in), or SIGINT, SIGTERM or SIGHUP, which end the check and all it started at any step and
# leave nothing of it behind.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/deps.sh"

# The packages are installed in a shell of their own, so that a failure there, which would end
# this script with need_packages' own status, is one line and status 2 like any other, and
# within a time limit, like every program the check runs. It runs in the background, so that a
# signal is seen at once: timeout runs it in a process group of its own, which the terminal's
# Ctrl-C does not reach, and which the trap ends.
cannot() {
    echo "verify-release: cannot check: $*" >&2
    exit 2
}
if ! log=$(mktemp "${TMPDIR:-/tmp}/zelmorth-verify-XXXXXX" 2>/dev/null); then
    cannot "cannot make a temporary file in $(printf '%s' "${TMPDIR:-/tmp}" |
        tr -c '[:print:]' '?') (TMPDIR)"
fi
installer=""
stopped() {
    trap '' INT TERM HUP
    if [ -n "$installer" ]; then
        kill -TERM "$installer" 2>/dev/null || true
        wait "$installer" 2>/dev/null || true
    fi
    rm -f "$log"
    cannot "stopped by signal $1; nothing was decided"
}
trap 'stopped SIGINT' INT
trap 'stopped SIGTERM' TERM
trap 'stopped SIGHUP' HUP
status=0
# shellcheck disable=SC2016 # expanded by that shell
timeout -k 10 900 sh -c '. "$1/scripts/deps.sh" && need_packages $VERIFY_PACKAGES' sh "$here" \
    > "$log" 2>&1 < /dev/null &
installer=$!
wait "$installer" || status=$?
installer=""
if [ "$status" -ne 0 ]; then
    cause=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | tr -cd '[:print:]')
    [ "$status" -ne 124 ] || cause="installing them did not finish within 900 s"
    rm -f "$log"
    cannot "the packages it needs could not be installed: $cause"
fi
cat "$log"
rm -f "$log"
python=$(python_with asn1crypto) || cannot "no python3 here has asn1crypto (python3-asn1crypto)"
# The check handles the signals itself from here on (exec gives it those caught here at their
# defaults, and those ignored here ignored).
exec "$python" -B "$here/release/verify_release.py" "$@"
