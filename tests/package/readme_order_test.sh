#!/usr/bin/env bash
# The README's two commands, in the README's order, on a fresh clone of the committed tree:
# scripts/demo.sh, then scripts/test.sh, then each once more. They share build/, so the second
# must accept what the first configured, and the repeats must reuse what is built.
# scripts/test.sh is narrowed to the process tests (KORVANE_QUICK, KORVANE_TARGETS,
# KORVANE_CTEST_ARGS): its whole suite would take far too long here, and what is checked is
# that the two scripts configure and build build/ the same way. CI itself runs the other order
# (the full scripts/test.sh, then scripts/demo.sh on the build/ it made).
#
#   tests/package/readme_order_test.sh [SOURCE_REPOSITORY]
set -euo pipefail

source_repo=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvane-readme-order.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "README order test: FAILED: $*" >&2; exit 1; }
say() { echo "[README order] $*"; }

git clone -q "$source_repo" "$scratch/korvane" || fail "cannot clone $source_repo"
cd "$scratch/korvane"

# Nothing from the calling test run may leak into the user's commands.
clean_env=(env -u KORVANE_BUILD_DIR -u KORVANE_QUICK -u KORVANE_TARGETS -u KORVANE_CTEST_ARGS
           -u KORVANE_SKIP_SETUP -u KORVANE_JOBS TMPDIR="$scratch")
demo() {  # demo LOG
  "${clean_env[@]}" timeout 600 scripts/demo.sh --seconds 1 --png "$scratch/demo.png" \
    </dev/null >"$1" 2>&1 || { tail -n 30 "$1" >&2; fail "scripts/demo.sh ($1)"; }
  grep -q '^CONNECTED width=1024 height=768' "$1" || { cat "$1" >&2; fail "the demo showed no session"; }
  [ -s "$scratch/demo.png" ] || fail "the demo wrote no picture"
  rm -f "$scratch/demo.png"
}
tests() {  # tests LOG
  "${clean_env[@]}" KORVANE_QUICK=1 KORVANE_TARGETS="korvane korvane-host korvane_process_tests" \
    KORVANE_CTEST_ARGS="-R ^Process\\." timeout 900 scripts/test.sh </dev/null >"$1" 2>&1 \
    || { tail -n 30 "$1" >&2; fail "scripts/test.sh ($1)"; }
  grep -Eq '^100% tests passed, 0 tests failed out of [1-9]' "$1" \
    || { cat "$1" >&2; fail "scripts/test.sh ran no tests"; }
}
stamp() { stat -c '%Y.%i' build/korvane build/korvane-host; }

start=$SECONDS
demo "$scratch/demo1.log"
[ -x build/korvane ] || fail "the demo built no build/korvane"
built=$(stamp)
tests "$scratch/test1.log"
[ "$(stamp)" = "$built" ] || fail "scripts/test.sh rebuilt what scripts/demo.sh had built"
demo "$scratch/demo2.log"
tests "$scratch/test2.log"
[ "$(stamp)" = "$built" ] || fail "running the commands again rebuilt korvane"
grep -q 'ninja: no work to do' "$scratch/test2.log" \
  || { cat "$scratch/test2.log" >&2; fail "the second scripts/test.sh built something again"; }
say "demo, tests, demo, tests on a fresh clone: passed in $((SECONDS - start)) s"
