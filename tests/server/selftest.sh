#!/usr/bin/env bash
# Checks korvane-test-server on its own: script errors, start and SIGTERM,
# and, when xfreerdp3 and Xvfb are installed, one real session over TLS with
# a redirected drive, a resize and a server-side end, and (with xdotool) a
# resize that the client's display control layout asks for.
# usage: selftest.sh PATH/TO/korvane-test-server
set -u
server=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kts-selftest-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done; exit 1; }

# shellcheck source=tests/server/selftest_lib.sh
source "$(dirname "$0")/selftest_lib.sh"

# --- script errors are reported before listening, with exit code 2
out=$("$server" --port 0 --step "bogus 1" 2>/dev/null); rc=$?
[ "$rc" -eq 2 ] || fail "unknown step gave rc=$rc"
[[ "$out" == "ERROR unknown step: bogus 1" ]] || fail "unknown step printed '$out'"
"$server" --port 0 --step "fill 1 2 3" >/dev/null 2>&1; rc=$?
[ "$rc" -eq 2 ] || fail "short fill gave rc=$rc"
"$server" --port 0 --step "fill 0 0 8 8 12345" >/dev/null 2>&1; rc=$?
[ "$rc" -eq 2 ] || fail "bad colour gave rc=$rc"
"$server" --port 0 --sec nla >/dev/null 2>&1; rc=$?
[ "$rc" -eq 1 ] || fail "nla without credentials gave rc=$rc"
"$server" --port 0 --disp sideways >/dev/null 2>&1; rc=$?
[ "$rc" -eq 1 ] || fail "bad --disp gave rc=$rc"
"$server" --port 0 --disp resize --disp-max 100x100 >/dev/null 2>&1; rc=$?
[ "$rc" -eq 1 ] || fail "too small --disp-max gave rc=$rc"

# --- it listens on the port it reports and ends promptly on SIGTERM
"$server" --port 0 --log "$work/idle.log" 2>"$work/idle.err" &
pid=$!; pids+=("$pid")
wait_for "$work/idle.log" "^LISTENING port=[0-9]*$" 100 || fail "no LISTENING line"
port=$(sed -n 's/^LISTENING port=//p' "$work/idle.log")
[ "$port" -gt 0 ] || fail "bad port '$port'"
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "nothing accepts on port $port"
kill -TERM "$pid"
for ((i = 0; i < 30; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 3 s after SIGTERM"
wait "$pid"; rc=$?
[ "$rc" -eq 0 ] || fail "SIGTERM exit code $rc"

if ! command -v xfreerdp3 >/dev/null || ! command -v Xvfb >/dev/null; then
  echo "selftest: no xfreerdp3/Xvfb, session part skipped"
  exit 0
fi

# --- a real session
display=""
for n in $(seq 90 120); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xpid=$!; pids+=("$xpid")
  sleep 0.5
  if kill -0 "$xpid" 2>/dev/null; then display=":$n"; break; fi
done
[ -n "$display" ] || fail "could not start Xvfb"

mkdir -p "$work/share/sub"
printf 'selftest \001\002\377' >"$work/share/sub/data.bin"
expected=$(od -An -v -tx1 "$work/share/sub/data.bin" | tr -d ' \n')
cat >"$work/script.txt" <<'EOF'
# the client is up once it has sent some input
wait-input 1 20000
fill 0 0 100 100 ff8000
read-file sub/data.bin
resize 700 500
pattern 10 10 64 64 0x10
dump pic.rgba
end
EOF
"$server" --port 0 --sec tls --log "$work/session.log" --dump-dir "$work" \
  --script "$work/script.txt" 2>"$work/session.err" &
spid=$!; pids+=("$spid")
wait_for "$work/session.log" "^LISTENING" 100 || fail "session server did not start"
port=$(sed -n 's/^LISTENING port=//p' "$work/session.log")
DISPLAY=$display timeout 60 xfreerdp3 "/v:127.0.0.1:$port" /cert:ignore /sec:tls /u:test /p:test \
  /size:640x480 "/drive:Tessaran,$work/share" /log-level:ERROR >"$work/client.log" 2>&1 &
cpid=$!; pids+=("$cpid")
wait_for "$work/session.log" "^DISCONNECTED$" 600 || fail "session did not finish"
for ((i = 0; i < 50; i++)); do kill -0 "$spid" 2>/dev/null || break; sleep 0.1; done
wait "$spid"; rc=$?
[ "$rc" -eq 0 ] || fail "session exit code $rc"

log="$work/session.log"
grep -qx "CONNECTED width=640 height=480" "$log" || fail "no CONNECTED 640x480"
grep -qx "CHANNEL join name=rdpdr" "$log" || fail "rdpdr not joined"
grep -qx "DEVICE type=8 name=Tessaran" "$log" || fail "drive not announced"
grep -qx "FILE name=sub/data.bin bytes=$expected" "$log" || fail "file bytes differ from $expected"
grep -qx "RESIZED width=700 height=500" "$log" || fail "no RESIZED 700x500"
grep -q "^INPUT " "$log" || fail "no INPUT lines"
grep -q "^ERROR" "$log" && fail "ERROR in the session log"
grep -qx "DONE" "$log" || fail "no DONE"
[ "$(sed -n 's/^STEP n=\([0-9]*\) .*/\1/p' "$log" | tr '\n' ' ')" = "1 2 3 4 5 6 7 " ] || fail "steps not logged in order"
size=$(stat -c %s "$work/pic.rgba")
[ "$size" -eq $((700 * 500 * 4)) ] || fail "dump has $size bytes"
# Pixel (10,10) holds the pattern's first value for seed 0x10, (100,100) is black.
px=$(od -An -v -tx1 -j $(((10 * 700 + 10) * 4)) -N 4 "$work/pic.rgba" | tr -d ' \n')
x=$((0x10 ^ 0x9E3779B9))
x=$(( (x ^ (x << 13)) & 0xFFFFFFFF )); x=$(( x ^ (x >> 17) )); x=$(( (x ^ (x << 5)) & 0xFFFFFFFF ))
want=$(printf '%02x%02x%02xff' $((x & 0xFF)) $(((x >> 8) & 0xFF)) $(((x >> 16) & 0xFF)))
[ "$px" = "$want" ] || fail "pattern pixel $px, want $want"
black=$(od -An -v -tx1 -j $(((100 * 700 + 100) * 4)) -N 4 "$work/pic.rgba" | tr -d ' \n')
[ "$black" = "000000ff" ] || fail "resized picture not black: $black"

if ! command -v xdotool >/dev/null; then
  echo "selftest: no xdotool, display control part skipped"
  echo "selftest: ok"
  exit 0
fi

# --- display control: the client's window changes size, the desktop follows with a known picture
cat >"$work/disp.txt" <<'EOF'
wait-input 1 20000
# xfreerdp3 sends its current size first (unchanged), then the window's new one
wait-layouts 2 20000
dump disp.rgba
end
EOF
"$server" --port 0 --disp resize --log "$work/disp.log" --dump-dir "$work" \
  --script "$work/disp.txt" 2>"$work/disp.err" &
spid=$!; pids+=("$spid")
wait_for "$work/disp.log" "^LISTENING" 100 || fail "display control server did not start"
port=$(sed -n 's/^LISTENING port=//p' "$work/disp.log")
DISPLAY=$display timeout 60 xfreerdp3 "/v:127.0.0.1:$port" /cert:ignore /sec:tls /u:test /p:test \
  /size:640x480 /dynamic-resolution /log-level:ERROR >"$work/disp-client.log" 2>&1 &
cpid=$!; pids+=("$cpid")
wait_for "$work/disp.log" "^DISP layout count=1 width=640 height=480$" 200 || fail "no first layout"
win=$(DISPLAY=$display xdotool search --name "FreeRDP: 127.0.0.1:$port" 2>/dev/null | head -1)
[ -n "$win" ] || fail "no client window"
DISPLAY=$display xdotool windowsize "$win" 720 400
wait_for "$work/disp.log" "^DISCONNECTED$" 300 || fail "display control session did not finish"
wait "$spid"; rc=$?
[ "$rc" -eq 0 ] || fail "display control session exit code $rc"
log="$work/disp.log"
grep -qx "DISP open max_monitors=1 max_width=8192 max_height=8192" "$log" || fail "no DISP open"
grep -qx "DISP layout count=1 width=720 height=400" "$log" || fail "no 720x400 layout"
grep -qx "RESIZED width=720 height=400" "$log" || fail "no RESIZED 720x400"
grep -qx "DISP painted width=720 height=400 seed=0x02D00190" "$log" || fail "no DISP painted"
grep -q "^ERROR" "$log" && fail "ERROR in the display control log"
# Pixel (0,0) holds the pattern's first value for seed (720 << 16) | 400.
px=$(od -An -v -tx1 -N 4 "$work/disp.rgba" | tr -d ' \n')
x=$(((720 << 16 | 400) ^ 0x9E3779B9))
x=$(( (x ^ (x << 13)) & 0xFFFFFFFF )); x=$(( x ^ (x >> 17) )); x=$(( (x ^ (x << 5)) & 0xFFFFFFFF ))
want=$(printf '%02x%02x%02xff' $((x & 0xFF)) $(((x >> 8) & 0xFF)) $(((x >> 16) & 0xFF)))
[ "$px" = "$want" ] || fail "display control pattern pixel $px, want $want"
echo "selftest: ok"
