#!/usr/bin/env bash
# Installs everything korvane needs to build, test and run its demo on Debian 12.
# Adds the bookworm-backports suite (where FreeRDP 3 lives) when apt does not know it yet,
# and does nothing at all when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  g++ clang-14 clang-format-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev
  freerdp3-dev libwinpr3-dev libfreerdp-server3-3 winpr3-utils
  freerdp3-shadow-x11 freerdp3-x11 freerdp3-proxy xvfb x11-utils x11-apps x11-xserver-utils xdotool xterm
  libboost-dev libboost-system-dev chromium
  zlib1g-dev libpng-dev libavcodec-dev libavutil-dev libswscale-dev libavformat-dev libswresample-dev
  ffmpeg libx11-dev libxfixes-dev
  openssl libssl-dev ca-certificates procps
  git python3 dpkg-dev lintian
  haproxy redis-server libhiredis-dev python3-yaml python3-kubernetes
)
# The xrdp 0.9 test peer (tests/peers/xrdp09.sh): Debian 12's own xrdp, not the newer one in
# backports, with the Xorg it runs sessions in and xauth for sesman's cookies; fuse3's setuid
# fusermount mounts the folder its clipboard pastes files from, and xclip copies and pastes there.
main_suite=(xrdp xorgxrdp xserver-xorg-core xauth fuse3 xclip)

missing=()
for p in "${packages[@]}" "${main_suite[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  # shellcheck source=scripts/debian-mirror.sh
  source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"
  mirror=$(debian_mirror)
  echo "[setup] adding the bookworm-backports suite ($mirror) to apt's sources" >&2
  $SUDO tee /etc/apt/sources.list.d/korvane-backports.sources >/dev/null <<SRC
Types: deb
URIs: $mirror
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

echo "[setup] installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# FreeRDP 3 only exists in backports; the rest comes from the main suite. The xrdp packages are
# held to the main suite (and its security updates), where their versions match each other.
backports=() main=()
for p in "${missing[@]}"; do
  if [[ " ${main_suite[*]} " == *" $p "* ]]; then main+=("$p"); else backports+=("$p"); fi
done
# xrdp's scripts would start its daemons on 3389 and 3350: a policy of ours forbids it while apt
# runs (unless the machine has one already), and they stay disabled; the tests run their own.
policy=/usr/sbin/policy-rc.d
if [ ${#main[@]} -gt 0 ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# korvane setup: no service starts while packages install\nexit 101\n' |
    $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
[ ${#backports[@]} -eq 0 ] ||
  $SUDO apt-get install -y -qq --no-install-recommends -t bookworm-backports "${backports[@]}" </dev/null
[ ${#main[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${main[@]}" </dev/null
if [ ${#main[@]} -gt 0 ]; then
  for s in xrdp xrdp-sesman; do
    command -v systemctl >/dev/null && $SUDO systemctl disable --now "$s" >/dev/null 2>&1 || true
  done
  command -v update-rc.d >/dev/null && $SUDO update-rc.d xrdp disable >/dev/null 2>&1 || true
fi
