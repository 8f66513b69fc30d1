#!/bin/sh
# The Windows zip: korvane.exe, the README and the licence texts, nothing else; and an exe that
# imports only DLLs every Windows has (everything else is linked in statically). Exits 77 when
# there is no Windows build.
set -eu
if [ -z "${KORVANE_WINDOWS_EXE:-}" ] || [ ! -f "$KORVANE_WINDOWS_EXE" ]; then
  echo "skipped: KORVANE_WINDOWS_EXE names no korvane.exe (scripts/test.sh sets it)"; exit 77
fi
build=$(dirname "$KORVANE_WINDOWS_EXE")
zip=$(ls "$build"/korvane-*-win64.zip)
fail() { echo "FAILED: $*" >&2; exit 1; }

listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
echo "$zip:"
echo "$listing"
name=$(basename "$zip" .zip)
expected=$(printf '%s\n' "$name/README.md" "$name/korvane.exe" \
  "$name/licences/FreeRDP-and-WinPR.txt" "$name/licences/OpenH264.txt" "$name/licences/OpenSSL.txt" \
  "$name/licences/gcc-runtime.txt" "$name/licences/korvane.txt" \
  "$name/licences/mingw-w64-runtime.txt" "$name/licences/zlib.txt" | sort)
[ "$listing" = "$expected" ] || fail "the zip holds other files than expected"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unzip -q "$zip" -d "$scratch"
shipped=$scratch/$name/korvane.exe
# The shipped exe (the build's without its debugging sections) runs: a host that closes its
# input at once gets the one error frame the protocol promises.
KORVANE_WINDOWS_EXE=$shipped "$(dirname "$0")/run_exe.sh" korvane.exe </dev/null >"$scratch/out" 2>/dev/null \
  && fail "the shipped korvane.exe exited 0 on a host that sent nothing"
grep -q "Expected CONNECT frame first" "$scratch/out" || fail "the shipped korvane.exe did not answer"
for f in "$scratch/$name"/licences/*; do [ -s "$f" ] || fail "empty licence text $f"; done

# DLLs that are part of every 64-bit Windows since Windows 8.
system="advapi32 bcrypt credui crypt32 dbghelp gdi32 iphlpapi kernel32 msvcrt ncrypt ntdll ole32
oleaut32 rpcrt4 secur32 shell32 shlwapi user32 userenv winmm ws2_32 cfgmgr32"
imports=$(x86_64-w64-mingw32-objdump -p "$shipped" | sed -n 's/^[[:space:]]*DLL Name: //p' \
  | tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
echo "korvane.exe imports: $(echo $imports)"
[ -n "$imports" ] || fail "objdump found no imports"
for dll in $imports; do
  echo " $system " | tr '\n' ' ' | grep -q " $dll " || fail "korvane.exe needs $dll.dll, which Windows does not have"
done
echo "the zip and korvane.exe's imports are as expected"
