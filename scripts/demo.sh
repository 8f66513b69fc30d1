#!/usr/bin/env bash
# korvane in one command: installs what is missing, builds, starts a private X desktop with
# FreeRDP's shadow server on it, runs the reference host (korvane-host) with korvane against it
# for a few seconds, prints the event stream and saves the desktop korvane saw as a PNG.
# Everything it starts is stopped again when it ends, however it ends.
#
#   scripts/demo.sh [--seconds S] [--png OUT] [--build-dir DIR]
#   scripts/demo.sh --host H --port P [--user U] [--domain D] [--password W] [--flags N] ...
#   scripts/demo.sh --web [--web-port N] [--seconds S] ...
#
# With --host and --port no local server is started: korvane connects to the server named.
# --build-dir (or KORVANE_BUILD_DIR) uses binaries built elsewhere and builds nothing.
# --web starts the web gateway korvane-web on 127.0.0.1 instead of korvane-host and prints the
# address to open in a browser; it runs until interrupted (or for --seconds when given).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=5
png="$PWD/korvane-demo.png"
build_dir="${KORVANE_BUILD_DIR:-}"
host=""
port=""
user=""
domain=""
password=""
flags=""
web=0
web_port=""
seconds_given=0

usage() {
  sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; seconds_given=1; shift 2 ;;
    --web) web=1; shift ;;
    --web-port) web_port="$2"; shift 2 ;;
    --png) png="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --host) host="$2"; shift 2 ;;
    --port) port="$2"; shift 2 ;;
    --user) user="$2"; shift 2 ;;
    --domain) domain="$2"; shift 2 ;;
    --password) password="$2"; shift 2 ;;
    --flags) flags="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if [ -n "$host" ] && [ -z "$port" ]; then port=3389; fi
if [ -z "$host" ] && [ -n "$port" ]; then echo "demo: --port needs --host" >&2; exit 2; fi

say() { echo "[demo] $*"; }

# ---- what runs, and how it all stops
scratch="$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")"
pids=()
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Newest first: the X clients and the shadow server before the X server they use.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    # Bounded: whatever has not gone after 3 s is killed outright.
    for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$scratch"
  [ ${#pids[@]} -gt 0 ] && say "stopped everything the demo started"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- packages and binaries
if [ "${KORVANE_SKIP_SETUP:-0}" != 1 ]; then
  bash "$root/scripts/setup.sh"
fi
if [ -n "$build_dir" ]; then
  bins=(korvane korvane-host)
  [ "$web" = 1 ] && bins+=(korvane-web)
  for bin in "${bins[@]}"; do
    if [ ! -x "$build_dir/$bin" ]; then
      echo "demo: $build_dir/$bin is missing (build it, or leave out --build-dir)" >&2
      exit 1
    fi
  done
else
  build_dir="$root/build"
  # The same configuration scripts/test.sh uses, so either may run first on the same build/.
  # shellcheck source=scripts/configure.sh
  source "$root/scripts/configure.sh"
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    say "configuring $build_dir"
  fi
  korvane_configure "$root" "$build_dir" >/dev/null
  if [ "$web" = 1 ]; then
    say "building korvane and korvane-web in $build_dir"
    cmake --build "$build_dir" -j2 --target korvane korvane-web >/dev/null
  else
    say "building korvane and korvane-host in $build_dir"
    cmake --build "$build_dir" -j2 --target korvane korvane-host >/dev/null
  fi
fi

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# ---- a desktop and a server to show it, unless the user named one
if [ -z "$host" ]; then
  # Xvfb picks a free display itself and writes its number once it accepts clients.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -ac -noreset \
    3>"$scratch/display" 2>"$scratch/xvfb.log" &
  pids+=($!)
  for _ in $(seq 150); do [ -s "$scratch/display" ] && break; sleep 0.1; done
  if [ ! -s "$scratch/display" ]; then
    echo "demo: Xvfb did not start:" >&2; cat "$scratch/xvfb.log" >&2; exit 1
  fi
  display=":$(head -n1 "$scratch/display")"
  export DISPLAY="$display"
  say "X display $display"

  xclock -geometry 200x200+60+60 >/dev/null 2>&1 &
  pids+=($!)
  xeyes -geometry 240x160+420+120 >/dev/null 2>&1 &
  pids+=($!)
  xlogo -geometry 180x180+720+420 >/dev/null 2>&1 &
  pids+=($!)
  xsetroot -solid '#3a6ea5'

  port=""
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 30000))
    if ! port_open "$candidate"; then port=$candidate; break; fi
  done
  [ -n "$port" ] || { echo "demo: no free port found" >&2; exit 1; }
  # The shadow server writes a self-signed certificate under $XDG_CONFIG_HOME on first start.
  XDG_CONFIG_HOME="$scratch" freerdp-shadow-cli3 /bind-address:127.0.0.1 "/port:$port" \
    -auth /sec:tls >"$scratch/shadow.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do port_open "$port" && break; sleep 0.1; done
  if ! port_open "$port"; then
    echo "demo: the shadow server did not open port $port:" >&2
    tail -n 20 "$scratch/shadow.log" >&2
    exit 1
  fi
  say "shadow server on 127.0.0.1:$port"
  host=127.0.0.1
  # The server lets anyone in (-auth), but without a user name the RDP client library would
  # ask for one on korvane's stdin, which is the host link.
  [ -n "$user" ] || user=demo
  [ -n "$password" ] || password=demo
  [ -n "$flags" ] || flags=1
  # Pointer moves, so the eyes follow something during the demo.
  moves=(--move 100,700 --move 1000,80 --move 520,300)
else
  moves=()
fi

# ---- the web gateway instead of korvane-host
if [ "$web" = 1 ]; then
  if [ -z "$web_port" ]; then
    for candidate in 8080 $(seq 8081 8099); do
      if ! port_open "$candidate"; then web_port=$candidate; break; fi
    done
    [ -n "$web_port" ] || { echo "demo: no free port for the web gateway" >&2; exit 1; }
  fi
  # The target, with its credentials, lives in the gateway's configuration only: the browser
  # picks it by name.
  conf="$scratch/korvane-web.conf"
  (umask 077; {
    echo "[target demo]"
    echo "host = $host"
    echo "port = $port"
    [ -n "$user" ] && echo "user = $user"
    [ -n "$domain" ] && echo "domain = $domain"
    [ -n "$password" ] && echo "password = $password"
    echo "flags = ${flags:-1}"
  } >"$conf")
  "$build_dir/korvane-web" --config "$conf" --listen 127.0.0.1 --port "$web_port" \
    --korvane "$build_dir/korvane" >"$scratch/korvane-web.out" 2>"$scratch/korvane-web.log" &
  web_pid=$!
  pids+=($web_pid)
  for _ in $(seq 100); do port_open "$web_port" && break; sleep 0.1; done
  if ! port_open "$web_port"; then
    echo "demo: korvane-web did not start:" >&2; tail -n 20 "$scratch/korvane-web.log" >&2; exit 1
  fi
  say "open http://127.0.0.1:$web_port/?target=demo&connect=1 in a browser"
  if [ "$seconds_given" = 1 ]; then
    say "stopping in $seconds s"
    sleep "$seconds"
  else
    say "press Ctrl-C to stop"
    wait "$web_pid" || true
  fi
  exit 0
fi

# ---- the session
args=(--korvane "$build_dir/korvane" --host "$host" --port "$port" --seconds "$seconds"
      --png "$png" --korvane-log "$scratch/korvane.log")
[ -n "$user" ] && args+=(--user "$user")
[ -n "$domain" ] && args+=(--domain "$domain")
[ -n "$password" ] && args+=(--password "$password")
[ -n "$flags" ] && args+=(--flags "$flags")
[ ${#moves[@]} -gt 0 ] && args+=("${moves[@]}")

say "korvane-host against $host:$port for $seconds s"
set +e
"$build_dir/korvane-host" "${args[@]}"
status=$?
set -e
if [ $status -ne 0 ]; then
  echo "demo: the session failed (exit $status); korvane's log ends with:" >&2
  tail -n 20 "$scratch/korvane.log" >&2 || true
  exit $status
fi
say "desktop picture: $png"
