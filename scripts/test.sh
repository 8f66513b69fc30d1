#!/usr/bin/env bash
# Builds korvane and runs every test: the unit tests, then the end-to-end tests that drive the
# real binary against RDP servers on 127.0.0.1. Then the packages, the README's commands on a
# fresh clone, the Windows build under Wine, the same suites again under
# AddressSanitizer+UndefinedBehaviorSanitizer, and the ones labelled "threaded" under
# ThreadSanitizer.
# Installs what is missing first. Every stage runs even when one before it failed; the end is a
# summary line per stage, and the exit code is 1 when any stage failed.
#
#   scripts/test.sh                   everything (what CI runs): about 30 minutes on two cores
#   KORVANE_QUICK=1 scripts/test.sh   the plain build and its tests only
#   KORVANE_SKIP_WINDOWS=1            everything but the Windows build and its tests under Wine
#   KORVANE_JOBS=N                    build and test jobs at once (default 2)
#
# It shares build/ with scripts/demo.sh: either may run first (see scripts/configure.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${KORVANE_JOBS:-2}
build=${KORVANE_BUILD_DIR:-build}
# Narrow the plain pass (used to check the README's commands on a fresh clone cheaply):
# KORVANE_TARGETS builds only these targets, KORVANE_CTEST_ARGS are added to its ctest call.
targets=${KORVANE_TARGETS:-}
read -r -a ctest_args <<<"${KORVANE_CTEST_ARGS:-}"

# shellcheck source=scripts/configure.sh
source scripts/configure.sh

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
failed=0
tests_passed=0
tests_failed=0

# stage NAME COMMAND...: runs the command in a subshell of its own with errexit, so a failing
# step ends that stage alone; notes how it ended and what its test runs counted.
stage() {
  local name=$1 started=$SECONDS rc
  shift
  echo "== stage $name"
  set +e
  (set -e; "$@")
  rc=$?
  set -e
  local counts="" line
  for line in $(cat "$logs/$name.counts" 2>/dev/null); do counts+=" $line"; done
  if [ "$rc" -eq 0 ]; then
    summary+=("$(printf '%-9s passed  %5d s%s' "$name" $((SECONDS - started)) "$counts")")
  else
    summary+=("$(printf '%-9s FAILED  %5d s%s (exit %d)' "$name" $((SECONDS - started)) "$counts" "$rc")")
    failed=1
  fi
}

# ctest_counted STAGE ARGS...: ctest, with its count of passed and failed tests kept for the
# summary.
ctest_counted() {
  local name=$1 out
  shift
  out="$logs/$name.ctest"
  local rc=0
  ctest --output-on-failure -j "$jobs" --timeout 300 "$@" 2>&1 | tee "$out" || rc=$?
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$out" | tail -n 1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$out" | tail -n 1)
  if [ -n "$total" ]; then
    echo "tests=$((total - fails))/$total" >>"$logs/$name.counts"
    echo "$((total - fails)) $fails" >>"$logs/counts"
  fi
  return "$rc"
}

suite() {  # suite STAGE DIR "CMAKE OPTIONS" [ctest arguments...]
  local name=$1 dir=$2 options=$3
  shift 3
  echo "== build $dir ${options}"
  # shellcheck disable=SC2086
  korvane_configure . "$dir" $options >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
  echo "== test $dir"
  ctest_counted "$name" --test-dir "$dir" "$@"
}

# The Debian packages, made from the plain build: lintian, then installed into an empty root,
# one session with the installed programs, purged.
packages() {
  KORVANE_SKIP_SETUP=1 bash scripts/package.sh --build-dir "$build"
  bash tests/package/install_test.sh "$build/packages" "$build/tests/server/korvane-test-server"
}

# The Windows build: its dependencies from Debian's source packages (cached outside the tree,
# see scripts/windows-deps.sh), korvane.exe and its zip cross-compiled with mingw-w64, then the
# tests labelled "wine" running korvane.exe under Wine against the same servers.
windows() {
  echo "== windows: dependencies"
  local prefix
  prefix=$(bash scripts/windows-deps.sh)
  echo "== build build-win (korvane.exe)"
  local options=(-DKORVANE_WINDOWS_PREFIX="$prefix")
  # A new recipe of the dependencies is a new prefix: what the old one configured is stale.
  if [ -f build-win/CMakeCache.txt ] &&
     ! grep -qx "KORVANE_WINDOWS_PREFIX:PATH=$prefix" build-win/CMakeCache.txt; then
    rm -rf build-win/CMakeCache.txt build-win/CMakeFiles
  fi
  # The toolchain is read when the folder is made; CMake warns of it given again.
  [ -f build-win/CMakeCache.txt ] || options+=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
  korvane_configure . build-win "${options[@]}" >/dev/null
  cmake --build build-win -j "$jobs"
  export WINEPREFIX="$PWD/build-win/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  bash tests/wine/prepare.sh
  trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
  echo "== test korvane.exe under Wine"
  KORVANE_WINDOWS_EXE="$PWD/build-win/korvane.exe" ctest_counted windows --test-dir "$build" -L wine
}

# The sanitizer builds pick their suites by label (see tests/CMakeLists.txt) and build those
# alone: no benchmarks, no gateway. Under AddressSanitizer everything but the "slow" suites (the
# shadow-server, demo and browser suites exercise the same korvane code as the scripted server)
# and Wine; under ThreadSanitizer the "threaded" ones: a new suite joins a set by its label.
sanitized_options="-DKORVANE_BENCH=OFF -DKORVANE_WEB=OFF"

asan() {
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  suite asan build-asan "-DKORVANE_SANITIZE=ON $sanitized_options -DKORVANE_TEST_LABELS=
    -DKORVANE_TEST_LABELS_EXCLUDE=wine;slow" -LE "wine|slow"
}

tsan() {
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  suite tsan build-tsan "-DKORVANE_TSAN=ON -DCMAKE_C_COMPILER=clang-14
    -DCMAKE_CXX_COMPILER=clang++-14 $sanitized_options -DKORVANE_TEST_LABELS=threaded
    -DKORVANE_TEST_LABELS_EXCLUDE=" -L threaded
}

# The tests labelled "wine" run korvane.exe, which the Windows stage builds first.
stage plain suite plain "$build" "" -LE wine "${ctest_args[@]}"
targets=""

if [ "${KORVANE_QUICK:-0}" != 1 ]; then
  stage packages packages

  readme_windows=0
  if [ "${KORVANE_SKIP_WINDOWS:-0}" = 1 ]; then
    echo "== windows: skipped (KORVANE_SKIP_WINDOWS=1)"
  else
    stage windows windows
    # The README's Windows commands too, once that stage has filled the dependency cache.
    case ${summary[-1]} in windows*passed*) readme_windows=1 ;; esac
  fi
  # The README's commands in the README's order, on a fresh clone of what is committed.
  stage readme env KORVANE_README_WINDOWS="$readme_windows" bash tests/package/readme_order_test.sh

  stage asan asan
  stage tsan tsan
fi

echo "== summary"
printf '  %s\n' "${summary[@]}"
# The failed tests by name, so the end of a long log says which ones without a search.
for out in "$logs"/*.ctest; do
  [ -f "$out" ] || continue
  sed -n '/The following tests FAILED:/,$ s/^[[:space:]]*\([0-9]* - .*\)$/  '"$(basename "$out" .ctest)"': \1/p' "$out"
done
# And what they said of it, so a failure that does not come again can still be read.
for out in "$logs"/*.ctest; do
  [ -f "$out" ] || continue
  grep -E -A 6 ': Failure$|^[^ ]*[Ee]rror: |Sanitizer|Test timeout|Exception:' "$out" | head -n 60 |
    sed "s/^/  $(basename "$out" .ctest)| /" || true
done
# The counts of every test run above, as one line.
if [ -f "$logs/counts" ]; then
  awk '{p += $1; f += $2} END {printf "tests: %d passed, %d failed\n", p, f}' "$logs/counts"
fi
exit "$failed"
