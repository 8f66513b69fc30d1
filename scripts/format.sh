#!/usr/bin/env bash
# Formats korvane's C++ (src, tools, tests with the test server, bench) with the one style in
# .clang-format. With --check it changes nothing and fails, naming each file and line, when any
# file is not formatted: the test command runs it so.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find src tools tests bench -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
if [ "${1:-}" = "--check" ]; then
  clang-format-14 --dry-run --Werror "${files[@]}"
else
  clang-format-14 -i "${files[@]}"
fi
