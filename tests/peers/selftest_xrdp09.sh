#!/usr/bin/env bash
# Checks the xrdp 0.9 peer with xfreerdp3 on an Xvfb of its own: one 1024x768 monitor (the
# session's RandR and root colour), that monitor resized through the display control channel,
# then two monitors of different sizes at connect. Exits 77 (skipped) when not root or when
# xrdp, xfreerdp3, Xvfb or xdotool are missing.
# usage: selftest_xrdp09.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
peer="$here/xrdp09.sh"
skip() { echo "selftest_xrdp09: skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
for b in xrdp xfreerdp3 Xvfb xdotool xrandr xwd; do
  command -v "$b" >/dev/null || skip "no $b"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/xrdp09-selftest-XXXXXX")
# The session's programs run as the test user and write into the peer's folder.
chmod 755 "$work"
export KORVANE_XRDP_DIR="$work/peer"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  bash "$peer" stop "$port"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.log "$KORVANE_XRDP_DIR"/*.log; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }
  done
  exit 1
}
# shellcheck source=tests/server/selftest_lib.sh
source "$here/../server/selftest_lib.sh"

t0=$SECONDS
out=$(bash "$peer" start "$port") || fail "start"
[ "$out" = "LISTENING port=$port" ] || fail "start printed '$out'"
echo "selftest_xrdp09: started in $((SECONDS - t0)) s"
# A second start of the running instance does nothing.
[ "$(bash "$peer" start "$port")" = "LISTENING port=$port" ] || fail "second start"

# The client's desktop: 2304x1024 with two RandR monitors of its own (-noreset keeps them once
# xrandr has gone).
# Xvfb picks a free display itself and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 2304x1024x24 -nolisten tcp -noreset 3>"$work/displayfd" \
  >"$work/xvfb.log" 2>&1 &
pids+=("$!")
wait_for "$work/displayfd" "^[0-9]" 100 || fail "could not start Xvfb"
display=":$(head -n 1 "$work/displayfd")"
DISPLAY=$display xrandr --setmonitor K0 1280/338x1024/270+0+0 none || fail "setmonitor K0"
DISPLAY=$display xrandr --setmonitor K1 1024/270x768/203+1280+0 none || fail "setmonitor K1"

# monitors DISPLAY: the session's monitors as "WxH+X+Y" words, in xrandr's order.
monitors() {
  DISPLAY=$1 xrandr --listmonitors |
    sed -n 's|^ *[0-9]*: [^ ]* \([0-9]*\)/[0-9]*x\([0-9]*\)/[0-9]*\(+[0-9]*+[0-9]*\) .*|\1x\2\3|p' |
    tr '\n' ' '
}
client() {  # client LOG ARGS...: xfreerdp3 on the Xvfb, logged in as the test user
  local log=$1
  shift
  DISPLAY=$display timeout 90 xfreerdp3 "/v:127.0.0.1:$port" /u:korvane-xrdp /p:korvane-xrdp-pw \
    /cert:ignore "$@" >"$work/$log" 2>&1 &
  cpid=$!; pids+=("$cpid")
}

# --- one monitor, then a resize through the display control channel
client one.log /size:1024x768 /dynamic-resolution /log-level:DEBUG
d1=$(bash "$peer" display "$port" 1) || fail "no first session"
[ "$(monitors "$d1")" = "1024x768+0+0 " ] || fail "one monitor: '$(monitors "$d1")'"
# The root's last pixel (xwd, 32 bits, low byte first): the session's colour #204060.
px=$(DISPLAY=$d1 xwd -root -silent | tail -c 4 | od -An -tx1 | tr -d ' \n')
[ "$px" = "60402000" ] || fail "root pixel $px"
# xfreerdp3 lets its window be resized once xrdp has sent the channel's capabilities.
wait_for "$work/one.log" "setting the window as resizable" 300 || fail "no display control channel"
win=$(DISPLAY=$display xdotool search --name "FreeRDP: 127.0.0.1:$port" | head -n 1)
[ -n "$win" ] || fail "no client window"
DISPLAY=$display xdotool windowsize "$win" 800 600
bash "$peer" layouts "$port" "$d1" 2 >/dev/null || fail "no second layout"
[ "$(monitors "$d1")" = "800x600+0+0 " ] || fail "after the resize: '$(monitors "$d1")'"
kill -TERM "$cpid"

# --- two monitors at connect: a new session (policy UBC) with the client's layout
client two.log /multimon /monitors:0,1 /log-level:WARN
d2=$(bash "$peer" display "$port" 2) || fail "no second session"
[ "$d2" != "$d1" ] || fail "the second connection reused $d1"
[ "$(monitors "$d2")" = "1280x1024+0+0 1024x768+1280+0 " ] || fail "two monitors: '$(monitors "$d2")'"

t0=$SECONDS
bash "$peer" stop "$port" || fail "stop"
echo "selftest_xrdp09: stopped in $((SECONDS - t0)) s"
[ -e "/tmp/.X11-unix/X${d1#:}" ] && fail "the session's X socket stayed"
pgrep -f "Xorg $d2 " >/dev/null && fail "the session's Xorg outlived stop"
echo "selftest_xrdp09: ok"
