#!/usr/bin/env bash
# Builds korvane and runs every test: the unit tests, then the end-to-end tests that drive the
# real binary against RDP servers on 127.0.0.1. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${KORVANE_JOBS:-2}
build=${KORVANE_BUILD_DIR:-build}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
