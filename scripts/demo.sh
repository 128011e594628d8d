#!/bin/sh
# Builds the program and its run check (alone, in build-demo/), shows what the check foresees
# on a scratch copy of the bundled demo install, then runs the program there once and shows
# what it did: files removed, the notice file, the console, the exit status and what the main
# updater was asked. Installs the build tools first if they are missing.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/deps.sh
need_packages $DEMO_PACKAGES
cmake --preset demo >/dev/null
cmake --build --preset demo --target zelmorth zelmorth-check >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelmorth-demo-XXXXXX")
cp -R demo/drive "$scratch/drive"
install="$scratch/drive/QUARRINE"
# The calendar's last holiday lies 30 days ahead, so the run shows its 60-day note.
date -d "+30 days" "+%m/%d/%y %C" >> "$install/HOLIDAYS.KVL"
before=$(cd "$scratch/drive" && find . | sort)

echo "== What a run would do, as build-demo/zelmorth-check foresees it:"
set +e
(cd "$install" && ZELMORTH_ROOT="$scratch/drive" "$here/build-demo/zelmorth-check")
echo "== The check's status: $?"
set -e
echo
echo "== Running build-demo/zelmorth in $install"
set +e
(cd "$install" && ZELMORTH_ROOT="$scratch/drive" ZELMORTH_DEMO_CALLS="$scratch/calls.log" \
    PATH="$here/demo/bin:$PATH" "$here/build-demo/zelmorth")
status=$?
set -e
echo
echo "== Exit status: $status"
echo "== Files the run removed:"
after=$(cd "$scratch/drive" && find . | sort)
echo "$before" | while read -r f; do
    echo "$after" | grep -qxF "$f" || echo "   $f"
done
echo "== Files the run created:"
echo "$after" | while read -r f; do
    echo "$before" | grep -qxF "$f" || echo "   $f"
done
echo "== The notice file QUARRINE/TELVOX.MSG now says:"
if [ -f "$install/TELVOX.MSG" ]; then sed 's/^/   | /' "$install/TELVOX.MSG"; echo; else echo "   (no notice file)"; fi
echo "== The main updater was asked:"
if [ -f "$scratch/calls.log" ]; then sed 's/^/   /' "$scratch/calls.log"; else echo "   (not started)"; fi
echo "== Scratch install left at $scratch"
