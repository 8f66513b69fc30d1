#!/usr/bin/env bash
# Builds the Debian packages korvane and korvane-host from this tree with CPack, then checks
# them with lintian (errors fail the build) and checks that the package version is the
# changelog's.
#
#   scripts/package.sh [--build-dir DIR] [--out DIR]
#
# DIR defaults to build/, the directory scripts/demo.sh and scripts/test.sh use; only the two
# programs and their manual pages are built there. The packages land in OUT (default
# DIR/packages) as korvane_VERSION_ARCH.deb and korvane-host_VERSION_ARCH.deb.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build"
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    -h|--help) sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package: unknown argument $1" >&2; exit 2 ;;
  esac
done
build_dir="$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)"
[ -n "$out" ] || out="$build_dir/packages"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
say() { echo "[package] $*"; }

if [ "${KORVANE_SKIP_SETUP:-0}" != 1 ]; then
  bash "$root/scripts/setup.sh"
fi

# shellcheck source=scripts/configure.sh
source "$root/scripts/configure.sh"
# CPack installs before it packs, and that install would otherwise build every target (all
# the tests) first; the packages need only what is built below.
korvane_configure "$root" "$build_dir" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
say "building korvane, korvane-host and the manual pages in $build_dir"
cmake --build "$build_dir" -j2 --target korvane korvane-host korvane_docs >/dev/null

rm -f "$out"/korvane_*.deb "$out"/korvane-host_*.deb
say "packing into $out"
(cd "$build_dir" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"

changelog_version="$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)"
for deb in "$out"/korvane_*.deb "$out"/korvane-host_*.deb; do
  [ -f "$deb" ] || { echo "package: cpack made no $deb" >&2; exit 1; }
  version="$(dpkg-deb -f "$deb" Version)"
  if [ "$version" != "$changelog_version" ]; then
    echo "package: $deb is version $version but packaging/changelog's latest entry is" \
         "$changelog_version; add a changelog entry for the new version" >&2
    exit 1
  fi
done

say "lintian"
# Errors fail the build; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$out"/korvane_*.deb "$out"/korvane-host_*.deb

for deb in "$out"/korvane_*.deb "$out"/korvane-host_*.deb; do
  say "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
done
