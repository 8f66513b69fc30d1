#!/usr/bin/env bash
# Installs the packages scripts/package.sh made into an empty root with dpkg, checks that their
# declared dependencies cover every library the installed programs load, runs one session
# with the installed korvane-host and korvane against the scripted test server on 127.0.0.1,
# then purges both packages and checks that nothing of them is left. Also asks apt (offline,
# from its cached package lists) what installing the packages on a machine with nothing on
# it would pull in: FreeRDP 3 must come with them.
#
#   tests/package/install_test.sh PACKAGE_DIR TEST_SERVER
set -euo pipefail

packages=$(cd "$1" && pwd)
server=$2
bridge_deb=$(ls "$packages"/korvane_*.deb)
host_deb=$(ls "$packages"/korvane-host_*.deb)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvane-package-test.XXXXXX")
server_pid=""
cleanup() {
  local status=$?
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "install test: FAILED: $*" >&2; exit 1; }
say() { echo "[install test] $*"; }

# ---- what apt would do on an empty machine: an empty dpkg status, the same sources
: >"$scratch/empty-status"
apt-get install --simulate -o Dir::State::status="$scratch/empty-status" \
  -o Debug::NoLocking=1 "$bridge_deb" "$host_deb" >"$scratch/apt.log" 2>&1 \
  || { cat "$scratch/apt.log" >&2; fail "apt cannot resolve the packages' dependencies"; }
for p in korvane korvane-host libfreerdp3-3 libfreerdp-client3-3 libwinpr3-3; do
  grep -q "^Inst $p " "$scratch/apt.log" || { cat "$scratch/apt.log" >&2; fail "apt would not install $p"; }
done
say "apt on an empty machine installs korvane with $(grep -c '^Inst ' "$scratch/apt.log") packages," \
    "FreeRDP from: $(grep '^Inst libfreerdp3-3 ' "$scratch/apt.log" | sed 's/^Inst [^ ]* //')"

# ---- install into an empty root
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
# The root has no libraries of its own, so its dpkg cannot see the dependencies met; they are
# checked against what the programs load instead, below.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$bridge_deb" "$host_deb" \
  >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; fail "dpkg -i"; }
for f in /usr/bin/korvane /usr/share/man/man1/korvane.1.gz /usr/share/doc/korvane/README.md \
         /usr/share/doc/korvane/changelog.gz /usr/share/doc/korvane/copyright; do
  dpkg --root="$root" -L korvane | grep -qx "$f" || fail "korvane does not list $f"
  [ -f "$root$f" ] || fail "$f is not installed"
done
for f in /usr/bin/korvane-host /usr/share/man/man1/korvane-host.1.gz; do
  dpkg --root="$root" -L korvane-host | grep -qx "$f" || fail "korvane-host does not list $f"
done
gzip -dc "$root/usr/share/man/man1/korvane.1.gz" | grep -q '^\.SH EXIT STATUS' \
  || fail "the manual page has no exit status section"

# ---- every library a program needs directly comes from a package its Depends names
check_libraries() {  # check_libraries BINARY DEB
  local binary=$1 deb=$2 depends needed lib path owner
  depends=$(dpkg-deb -f "$deb" Depends)
  ldd "$binary" >"$scratch/ldd.log" 2>&1 || fail "ldd $binary"
  if grep -q 'not found' "$scratch/ldd.log"; then cat "$scratch/ldd.log" >&2; fail "$binary misses libraries"; fi
  needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ -n "$needed" ] || fail "readelf found no libraries in $binary"
  for lib in $needed; do
    path=$(awk -v l="$lib" '$1 == l { print $3 }' "$scratch/ldd.log")
    [ -n "$path" ] || fail "ldd does not resolve $lib for $binary"
    # With merged /usr a library has two names; dpkg knows it by the one its package ships.
    owner=""
    for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path#/usr}"; do
      owner=$(dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1) && [ -n "$owner" ] && break
      owner=""
    done
    [ -n "$owner" ] || fail "no package owns $path"
    case ", $depends," in
      *", $owner "*|*", $owner,"*) ;;
      *) fail "$(basename "$binary") loads $lib from $owner, which Depends ($depends) does not name" ;;
    esac
  done
  say "$(basename "$binary"): $(echo "$needed" | wc -w) libraries, all from declared dependencies"
}
check_libraries "$root/usr/bin/korvane" "$bridge_deb"
check_libraries "$root/usr/bin/korvane-host" "$host_deb"

# ---- one session with the installed programs
"$server" --port 0 --sec tls --step "fill 0 0 64 48 CC2211" --step "sleep 1500" --step "end" \
  >"$scratch/server.log" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^LISTENING port=\([0-9]*\)$/\1/p' "$scratch/server.log")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$scratch/server.log" >&2; fail "the test server did not start"; }
# The installed korvane-host finds the installed korvane next to itself, not one on PATH.
set +e
timeout 60 env PATH=/usr/bin:/bin "$root/usr/bin/korvane-host" --host 127.0.0.1 --port "$port" \
  --user test --password test --flags 1 --width 640 --height 480 --seconds 30 \
  --connect-timeout 20 --png "$scratch/session.png" --korvane-log "$scratch/korvane.log" \
  >"$scratch/host.log" 2>&1
status=$?
set -e
if [ $status -ne 0 ] || ! grep -q '^CONNECTED width=640 height=480' "$scratch/host.log" \
   || ! grep -q '^DISCONNECTED ' "$scratch/host.log" || ! grep -q 'rects=[1-9]' "$scratch/host.log"; then
  cat "$scratch/host.log" "$scratch/server.log" >&2
  tail -n 20 "$scratch/korvane.log" >&2 || true
  fail "the session with the installed programs (exit $status)"
fi
for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
wait "$server_pid" || fail "the test server ended with an error"
server_pid=""
say "session: $(grep '^SUMMARY' "$scratch/host.log")"

# ---- removal leaves nothing behind
dpkg --root="$root" --force-script-chrootless -P korvane-host korvane >"$scratch/dpkg.log" 2>&1 \
  || { cat "$scratch/dpkg.log" >&2; fail "dpkg -P"; }
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/lib" \
  -not -path "$root/var/lib/dpkg" -not -path "$root/var/lib/dpkg/*")
[ -z "$left" ] || fail "left after purging: $left"
dpkg --root="$root" -l korvane korvane-host 2>/dev/null | grep -q '^ii' && fail "still installed"
say "installed, ran a session and purged cleanly"
