#!/bin/sh
# Stands in for the Linux korvane in the tests labelled "wine": runs korvane.exe (the path in
# KORVANE_WINDOWS_EXE) under wine64 with the same arguments, standard streams and environment.
# exec keeps the process id, so the tests' waits and kills reach the Windows process.
exe=${KORVANE_WINDOWS_EXE:?KORVANE_WINDOWS_EXE names no korvane.exe}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec "${KORVANE_WINE:-/usr/lib/wine/wine64}" "$exe" "$@"
