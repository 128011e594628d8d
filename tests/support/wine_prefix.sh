#!/bin/sh
# Makes ("up") or removes ("down") the Wine prefix that the Windows tests of one CTest run
# share. "up" keeps the prefix's server running, so that each later start takes a fraction of
# a second; "down" stops it and everything still running in the prefix.
set -eu
: "${WINEPREFIX:?}" "${WINE:=wine}" "${WINESERVER:=wineserver}"
export WINEPREFIX
unset DISPLAY WAYLAND_DISPLAY
case "${1:-}" in
up)
    if [ -d "$WINEPREFIX" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    # The server and the prefix's own services live on after this script: none of them may
    # hold CTest's output pipe, or CTest would wait for them.
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
    test -d "$WINEPREFIX/dosdevices"
    echo "Wine prefix ready: $WINEPREFIX"
    ;;
down)
    "$WINESERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    ;;
*)
    echo "usage: $0 up|down" >&2
    exit 2
    ;;
esac
