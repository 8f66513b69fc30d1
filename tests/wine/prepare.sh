#!/bin/sh
# Makes WINEPREFIX ready for the tests labelled "wine": creates it when needed, starts one
# persistent wineserver for the whole run (instead of one per korvane.exe), and starts Wine's
# background services (services.exe, winedevice.exe, plugplay.exe) with their standard streams on
# /dev/null. Wine starts those services with the first program that runs in a prefix, and they
# inherit that program's standard output: a test whose output CTest reads to the end would then
# wait for them for ever. `wineserver -k` ends it all.
#   WINEPREFIX=DIR tests/wine/prepare.sh
set -eu
: "${WINEPREFIX:?WINEPREFIX names no folder}"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=${KORVANE_WINE:-/usr/lib/wine/wine64}
server=$(dirname "$wine")/wineserver
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine" wineboot -i >"$WINEPREFIX.log" 2>&1 </dev/null ||
    { cat "$WINEPREFIX.log" >&2; echo "Wine could not make its prefix $WINEPREFIX" >&2; exit 1; }
fi
# The server wineboot started (or an earlier run left) must go first: -p refuses to start beside it.
timeout 30 "$server" -w || "$server" -k || true
"$server" -p
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
