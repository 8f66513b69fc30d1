#!/usr/bin/env bash
# Builds korvane and runs every test: the unit tests, then the end-to-end tests that drive the
# real binary against RDP servers on 127.0.0.1. Then the same suites again under
# AddressSanitizer+UndefinedBehaviorSanitizer, and the threaded ones under ThreadSanitizer.
# Installs what is missing first.
#
#   scripts/test.sh            everything (what CI runs)
#   KORVANE_QUICK=1 scripts/test.sh   the plain build only
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

suite() {  # suite DIR "CMAKE OPTIONS" [ctest arguments...]
  local dir=$1 options=$2
  shift 2
  echo "== build $dir ${options}"
  # shellcheck disable=SC2086
  korvane_configure . "$dir" $options >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "$@"
}

# The tests labelled "wine" run korvane.exe, which the Windows step below builds first.
suite "$build" "" -LE wine "${ctest_args[@]}"
targets=""

[ "${KORVANE_QUICK:-0}" = 1 ] && exit 0

# The Debian packages, made from the plain build: lintian, then installed into an empty root,
# one session with the installed programs, purged.
KORVANE_SKIP_SETUP=1 bash scripts/package.sh --build-dir "$build"
bash tests/package/install_test.sh "$build/packages" "$build/tests/server/korvane-test-server"
# The README's commands in the README's order, on a fresh clone of what is committed.
bash tests/package/readme_order_test.sh

# The Windows build: its dependencies from Debian's source packages (cached outside the tree,
# see scripts/windows-deps.sh), korvane.exe and its zip cross-compiled with mingw-w64, then the
# tests labelled "wine" running korvane.exe under Wine against the same servers.
# KORVANE_SKIP_WINDOWS=1 leaves it out.
if [ "${KORVANE_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "== windows: skipped (KORVANE_SKIP_WINDOWS=1)"
else
  echo "== windows: dependencies"
  windows_prefix=$(bash scripts/windows-deps.sh)
  echo "== build build-win (korvane.exe)"
  # A new recipe of the dependencies is a new prefix: what the old one configured is stale.
  if [ -f build-win/CMakeCache.txt ] &&
     ! grep -qx "KORVANE_WINDOWS_PREFIX:PATH=$windows_prefix" build-win/CMakeCache.txt; then
    rm -rf build-win/CMakeCache.txt build-win/CMakeFiles
  fi
  korvane_configure . build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DKORVANE_WINDOWS_PREFIX="$windows_prefix" >/dev/null
  cmake --build build-win -j "$jobs"
  export WINEPREFIX="$PWD/build-win/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  bash tests/wine/prepare.sh
  trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
  echo "== test korvane.exe under Wine"
  KORVANE_WINDOWS_EXE="$PWD/build-win/korvane.exe" \
    ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300 -L wine
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  trap - EXIT
  unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
fi

# The shadow-server and demo suites exercise the same korvane code as the scripted server;
# under the sanitizers the scripted suites are enough.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
suite build-asan "-DKORVANE_SANITIZE=ON" -E "^(Shadow|Demo|Web(Browser|H264)|Support|KorvaneHost|HostCanvas|HostDesktop|HostFrameIo|HostH264|HostPng|HostProcess|HostSession)|selftest"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
suite build-tsan "-DKORVANE_TSAN=ON -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14" \
  -R "Clipboard|TransportTest|HostCommands|^Session\\.|^Input\\.|^Display\\.|Gfx|^Compat\\.|^Extended\\.|^Status\\.|^Reconnect\\.|^Audio\\.|^GoneHost\\.|^HostileDrive\\.|^Faults\\."
