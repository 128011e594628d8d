#!/bin/sh
# Runs the built program under valgrind memcheck on scratch copies of the demo install: once
# as the demo runs it, and once with a damaged calendar so that the run hands over to the
# merge batch. Fails when valgrind reports any error or leak. valgrind does not follow the
# hand-over to the batch, so its report goes to a log of its own, which must stay empty.
# valgrind cannot watch the heap of the static build/zelmorth, so it runs zelmorth_dynamic:
# the same program, linked as usual.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake --preset default >/dev/null
cmake --build --preset default --target zelmorth_dynamic >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelmorth-valgrind-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Quiet stand-ins for what the merge batch starts, so that its run ends cleanly.
mkdir -p "$scratch/bin"
for name in @ECHO START TELVOX HALTBOX; do
    printf '#!/bin/sh\nexit 0\n' > "$scratch/bin/$name"
    chmod +x "$scratch/bin/$name"
done

# run_case NAME EXTRA-CALENDAR-LINE
run_case() {
    drive="$scratch/$1/drive"
    mkdir -p "$scratch/$1"
    cp -R demo/drive "$drive"
    date -d "+30 days" "+%m/%d/%y %C" >> "$drive/QUARRINE/HOLIDAYS.KVL"
    [ -z "$2" ] || printf '%s\n' "$2" >> "$drive/QUARRINE/HOLIDAYS.KVL"
    echo "== valgrind memcheck: $1"
    set +e
    (cd "$drive/QUARRINE" && ZELMORTH_ROOT="$drive" ZELMORTH_DEMO_CALLS="$scratch/$1/calls.log" \
        PATH="$here/demo/bin:$scratch/bin:$PATH" valgrind --quiet --log-file="$scratch/$1/valgrind.log" --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
        "$here/build/zelmorth_dynamic") >"$scratch/$1/out.log" 2>&1
    status=$?
    set -e
    cat "$scratch/$1/out.log"
    echo
    if [ "$status" -ne 0 ] || [ -s "$scratch/$1/valgrind.log" ]; then
        cat "$scratch/$1/valgrind.log"
        echo "== $1: exit status $status (99: valgrind found errors)"
        return 1
    fi
    echo "== $1: exit status 0, no valgrind errors"
}

run_case demo ""
run_case damaged-calendar "07/04/21 21"
