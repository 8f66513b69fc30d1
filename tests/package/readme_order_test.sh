#!/usr/bin/env bash
# The commands of the README's sh blocks, exactly as printed and in the README's order, on a
# fresh clone of the committed tree (so a script committed without its exec bit fails here as
# it fails for a reader):
# - "Try it": each command, then each once more. scripts/demo.sh and scripts/test.sh share
#   build/, so the second must accept what the first configured, and the repeats must reuse what
#   is built. scripts/test.sh is narrowed to the process tests (KORVANE_QUICK, KORVANE_TARGETS,
#   KORVANE_CTEST_ARGS): its whole suite would take far too long here, and what is checked is
#   that the two scripts configure and build build/ the same way. CI itself runs the other order
#   (the full scripts/test.sh, then scripts/demo.sh on the build/ it made).
# - "Install": the packages built and installed with apt, then purged again. Only as root, and
#   only when korvane is not installed on the machine already.
# - "Windows": only with KORVANE_README_WINDOWS=1. It is cheap (korvane.exe built in about a
#   minute) once scripts/windows-deps.sh has filled its cache, some 6 minutes more before.
# As root the commands run with a sudo first on the PATH that always fails: Debian 12 used as
# root has no sudo, and the README's commands must work there.
#
#   [KORVANE_README_WINDOWS=1] tests/package/readme_order_test.sh [SOURCE_REPOSITORY]
set -euo pipefail

source_repo=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvane-readme-order.XXXXXX")
installed=0
cleanup() {
  local status=$?
  if [ "$installed" = 1 ]; then
    apt-get purge -y -qq korvane korvane-host </dev/null >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "README order test: FAILED: $*" >&2; exit 1; }
say() { echo "[README order] $*"; }

git clone -q "$source_repo" "$scratch/korvane" || fail "cannot clone $source_repo"
cd "$scratch/korvane"

# Nothing from the calling test run may leak into the user's commands.
clean_env=(env -u KORVANE_BUILD_DIR -u KORVANE_QUICK -u KORVANE_TARGETS -u KORVANE_CTEST_ARGS
           -u KORVANE_SKIP_SETUP -u KORVANE_JOBS -u KORVANE_SKIP_WINDOWS -u KORVANE_README_WINDOWS
           TMPDIR="$scratch")
if [ "$(id -u)" -eq 0 ]; then
  mkdir "$scratch/bin"
  printf '#!/bin/sh\necho "sudo: not on this machine" >&2\nexit 127\n' >"$scratch/bin/sudo"
  chmod +x "$scratch/bin/sudo"
  clean_env+=(PATH="$scratch/bin:$PATH")
fi

# readme_block SECTION: the lines of the sh blocks under "## SECTION".
readme_block() {
  awk -v want="## $1" '/^## / { section = $0 }
    /^```/ { if (inside) { inside = 0; next }
             if ($0 == "```sh" && section == want) { inside = 1; next } }
    inside && NF' README.md | grep . || fail "the README's \"$1\" section has no sh block"
}
# run LOG SECONDS COMMANDS: the commands in one shell that stops at the first that fails.
run() {
  "${clean_env[@]}" timeout "$2" bash -ec "$3" </dev/null >"$1" 2>&1 \
    || { tail -n 30 "$1" >&2; fail "$(head -n 1 <<<"$3") ... ($1)"; }
}

try_it() {  # try_it COMMAND LOG
  case $1 in
    scripts/demo.sh*)
      run "$2" 600 "$1"
      grep -q '^CONNECTED width=1024 height=768' "$2" \
        || { cat "$2" >&2; fail "the demo showed no session"; }
      grep -q '^SUMMARY .* problems=0 exit=exit code 0 ' "$2" \
        || { cat "$2" >&2; fail "the demo did not end as the README says success looks"; }
      [ -s korvane-demo.png ] || fail "the demo wrote no korvane-demo.png"
      rm -f korvane-demo.png ;;
    scripts/test.sh*)
      local clean_env=("${clean_env[@]}" KORVANE_QUICK=1
                       KORVANE_TARGETS="korvane korvane-host korvane_process_tests"
                       KORVANE_CTEST_ARGS="-R ^Process\\.")
      run "$2" 900 "$1"
      grep -Eq '^100% tests passed, 0 tests failed out of [1-9]' "$2" \
        || { cat "$2" >&2; fail "scripts/test.sh ran no tests"; } ;;
    *) fail "the README's \"Try it\" block has a command this test does not know: $1" ;;
  esac
}
stamp() { stat -c '%Y.%i' build/korvane build/korvane-host; }

start=$SECONDS
try_it_block=$(readme_block "Try it")
mapfile -t commands <<<"$try_it_block"
built=""
for round in 1 2; do
  for i in "${!commands[@]}"; do
    log="$scratch/try-it.$round.$i.log"
    try_it "${commands[i]}" "$log"
    if [ -z "$built" ]; then
      built=$(stamp) || fail "\"${commands[i]}\" built no build/korvane and build/korvane-host"
    elif [ "$(stamp)" != "$built" ]; then
      fail "\"${commands[i]}\" (round $round) built korvane again"
    fi
    if [ "$round" = 2 ] && [[ ${commands[i]} == scripts/test.sh* ]]; then
      grep -q 'ninja: no work to do' "$log" \
        || { cat "$log" >&2; fail "scripts/test.sh built something again"; }
    fi
  done
done
say "Try it, twice on a fresh clone: passed in $((SECONDS - start)) s"

start=$SECONDS
if [ "$(id -u)" -ne 0 ]; then
  say "Install: skipped (apt install needs root)"
elif dpkg-query -W -f='${Status}\n' korvane korvane-host 2>/dev/null | grep -q ' ok installed'; then
  say "Install: skipped (korvane is installed on this machine already; this test would remove it)"
else
  install_block=$(readme_block Install)
  installed=1
  run "$scratch/install.log" 900 "$install_block"
  for p in korvane korvane-host; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qx 'install ok installed' \
      || { cat "$scratch/install.log" >&2; fail "the Install commands did not install $p"; }
  done
  apt-get purge -y -qq korvane korvane-host </dev/null >/dev/null 2>&1 || fail "apt-get purge"
  installed=0
  say "Install: passed in $((SECONDS - start)) s"
fi

start=$SECONDS
if [ "${KORVANE_README_WINDOWS:-0}" = 1 ]; then
  windows_block=$(readme_block Windows)
  run "$scratch/windows.log" 1800 "$windows_block"
  [ -f build-win/korvane.exe ] || fail "the Windows commands made no build-win/korvane.exe"
  compgen -G 'build-win/korvane-*-win64.zip' >/dev/null || fail "the Windows commands made no zip"
  say "Windows: passed in $((SECONDS - start)) s"
else
  say "Windows: skipped (KORVANE_README_WINDOWS=1 runs it)"
fi
