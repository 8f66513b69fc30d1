#!/bin/sh
# Runs one of the Windows build's programs (beside KORVANE_WINDOWS_EXE) under wine64, for the
# tests labelled "wine" that are not GoogleTest suites. Exits 77 (CTest's "skipped") when
# there is no Windows build or no Wine, saying why.
#   run_exe.sh PROGRAM.exe [ARGUMENTS...]
wine=${KORVANE_WINE:-/usr/lib/wine/wine64}
if [ -z "${KORVANE_WINDOWS_EXE:-}" ] || [ ! -f "$KORVANE_WINDOWS_EXE" ]; then
  echo "skipped: KORVANE_WINDOWS_EXE names no korvane.exe (scripts/test.sh sets it)"; exit 77
fi
if [ ! -x "$wine" ]; then echo "skipped: Wine is not installed ($wine)"; exit 77; fi
program=$(dirname "$KORVANE_WINDOWS_EXE")/$1
shift
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec "$wine" "$program" "$@"
