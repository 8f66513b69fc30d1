#!/usr/bin/env bash
# Checks korvane-test-gateway on its own (command line errors, LISTENING and
# CERT, SIGTERM), then, when Xvfb, freerdp-shadow-cli3 and xfreerdp3 are
# installed, between xfreerdp3 and a shadow server: a refused bearer
# token, then a desktop over the websocket transport ended by SIGUSR1, and a
# desktop over the legacy two-connection form (--no-websocket) ended by
# --close-after-ms, and NTLM (a wrong password, then the right one).
# usage: selftest.sh PATH/TO/korvane-test-gateway
set -u
gateway=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ktg-selftest-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for ((i = 0; i < 30; i++)); do
    alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ "$alive" -eq 0 ] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; grep -v log_build "$f" | tail -40 >&2; }; done; exit 1; }

# shellcheck source=tests/server/selftest_lib.sh
source "$(dirname "$0")/../selftest_lib.sh"

# start_gateway NAME ARGS...: sets gw_pid and gw_port.
start_gateway() {
  local name=$1
  shift
  "$gateway" --port 0 --log "$work/$name.log" "$@" 2>"$work/$name.err" &
  gw_pid=$!
  pids+=("$gw_pid")
  wait_for "$work/$name.log" "^CERT sha256=" 100 || fail "$name: no LISTENING/CERT lines"
  gw_port=$(sed -n 's/^LISTENING port=//p' "$work/$name.log")
}

# stop_gateway NAME: SIGTERM, exit code 0 within 5 s.
stop_gateway() {
  kill -TERM "$gw_pid"
  for ((i = 0; i < 50; i++)); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$gw_pid" 2>/dev/null && fail "$1: still running 5 s after SIGTERM"
  wait "$gw_pid"; rc=$?
  [ "$rc" -eq 0 ] || fail "$1: SIGTERM exit code $rc"
}

# --- command line errors: an ERROR line, exit code 1
out=$("$gateway" --port 0 2>/dev/null); rc=$?
[ "$rc" -eq 1 ] && [ "$out" = "ERROR --target is required" ] || fail "no --target: rc=$rc '$out'"
out=$("$gateway" --port 0 --target 127.0.0.1:1 --fault sideways 2>/dev/null); rc=$?
[ "$rc" -eq 1 ] && [ "$out" = "ERROR bad --fault" ] || fail "bad --fault: rc=$rc '$out'"

# --- LISTENING, the certificate it reports, SIGTERM
start_gateway idle --target 127.0.0.1:1
[ "$gw_port" -gt 0 ] || fail "bad port '$gw_port'"
cert=$(sed -n 's/^CERT sha256=//p' "$work/idle.log")
[[ "$cert" =~ ^([0-9a-f]{2}:){31}[0-9a-f]{2}$ ]] || fail "bad CERT line '$cert'"
if command -v openssl >/dev/null; then
  seen=$(openssl s_client -connect "127.0.0.1:$gw_port" </dev/null 2>/dev/null |
    openssl x509 -outform DER 2>/dev/null | sha256sum | cut -c1-64 | sed 's/../&:/g; s/:$//')
  [ "$seen" = "$cert" ] || fail "served certificate $seen, CERT line $cert"
fi
stop_gateway idle

for tool in Xvfb freerdp-shadow-cli3 xfreerdp3; do
  command -v "$tool" >/dev/null || { echo "selftest: no $tool, session part skipped"; echo "selftest: ok"; exit 0; }
done

# --- two X servers: the shadow server's desktop and the client's window
displays=()
for n in $(seq 130 170); do
  [ "${#displays[@]}" -eq 2 ] && break
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb$n.out" 2>&1 &
  xpid=$!
  sleep 0.5
  if kill -0 "$xpid" 2>/dev/null; then pids+=("$xpid"); displays+=(":$n"); fi
done
[ "${#displays[@]}" -eq 2 ] || fail "could not start two Xvfb"
mkdir -p "$work/shadow-home"
shadow_port=""
for ((attempt = 0; attempt < 5; attempt++)); do
  p=$((20000 + RANDOM % 30000))
  (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && continue
  DISPLAY=${displays[0]} XDG_CONFIG_HOME=$work/shadow-home freerdp-shadow-cli3 \
    /bind-address:127.0.0.1 "/port:$p" -auth /sec:tls >"$work/shadow.out" 2>&1 &
  spid=$!
  for ((i = 0; i < 100; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && { shadow_port=$p; break; }
    kill -0 "$spid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$shadow_port" ] && { pids+=("$spid"); break; }
  kill -TERM "$spid" 2>/dev/null; wait "$spid" 2>/dev/null
done
[ -n "$shadow_port" ] || fail "the shadow server did not start"

# client NAME GATEWAY_AUTH: xfreerdp3 through the gateway on gw_port with the /gateway
# option's authentication part (bearer:T or u:U,p:W); sets client_pid.
# The gateway goes in an .rdp file: xfreerdp3 3.10.3 drops the port of
# /gateway:g:HOST:PORT and connects to 443.
client() {
  # connection type 6 (LAN) and -gfx: plain bitmaps, so that the shadow server sends the whole
  # desktop (without a connection type the file turns the graphics pipeline on, and an H.264
  # frame of a still desktop is a few hundred bytes).
  printf 'full address:s:127.0.0.1:%s\r\ngatewayhostname:s:127.0.0.1:%s\r\ngatewayusagemethod:i:1\r\nconnection type:i:6\r\n' \
    "$shadow_port" "$gw_port" >"$work/$1.rdp"
  local cmd=(xfreerdp3 "$work/$1.rdp" "/gateway:type:http,$2" /cert:ignore /sec:tls
    /u:test /p:test /size:1024x768 -gfx /log-level:ERROR)
  echo "selftest: $1: ${OPENSSL_CONF:+OPENSSL_CONF=$OPENSSL_CONF }DISPLAY=${displays[1]} ${cmd[*]}"
  (cat "$work/$1.rdp" | tr -d '\r' | sed 's/^/selftest:   rdp: /')
  DISPLAY=${displays[1]} timeout -k 5 90 "${cmd[@]}" >"$work/$1-client.out" 2>&1 &
  client_pid=$!
  pids+=("$client_pid")
}

# check_desktop NAME: the tunnel opened and carried a desktop.
check_desktop() {
  local log=$work/$1.log
  wait_for "$log" "^CLOSED by=gateway " 200 || fail "$1: no CLOSED by=gateway"
  grep -q "^CHANNEL open resource=127.0.0.1 port=$shadow_port$" "$log" || fail "$1: no CHANNEL open"
  local bytes
  bytes=$(sed -n 's/^CLOSED by=gateway bytes_to_client=\([0-9]*\) .*/\1/p' "$log" | tail -1)
  [ "${bytes:-0}" -gt 51200 ] || fail "$1: only ${bytes:-0} bytes reached the client"
  grep -q "^ERROR" "$log" && fail "$1: ERROR in the gateway log"
  sed 's/^/selftest:   gateway: /' "$log"
}

# --- websocket: a wrong token is refused, then a desktop, ended by SIGUSR1
start_gateway websocket --token "Tessaran-7" --target "127.0.0.1:$shadow_port"
client refused "bearer:wrong-token"
wait_for "$work/websocket.log" "^AUTH refused kind=bearer$" 300 || fail "no AUTH refused"
wait_for "$work/websocket.log" "^HTTP method=RDG_OUT_DATA websocket=1 auth=bearer status=401$" 50 ||
  fail "no 401 line"
for ((i = 0; i < 300; i++)); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$client_pid" 2>/dev/null && fail "the refused client is still running"
grep -q "CHANNEL" "$work/websocket.log" && fail "a channel opened with a wrong token"

client websocket "bearer:Tessaran-7"
wait_for "$work/websocket.log" "^CHANNEL open" 300 || fail "websocket: no CHANNEL open"
grep -q "^HTTP method=RDG_OUT_DATA websocket=1 auth=bearer status=101$" "$work/websocket.log" ||
  fail "websocket: no 101"
sleep 8  # the shadow server sends the desktop once the session is up
kill -USR1 "$gw_pid"
check_desktop websocket
kill -TERM "$client_pid" 2>/dev/null
stop_gateway websocket

# --- legacy: the gateway answers the upgrade as an old one does, closes after 8 s
start_gateway legacy --token "Tessaran-7" --target "127.0.0.1:$shadow_port" --no-websocket \
  --close-after-ms 8000
client legacy "bearer:Tessaran-7"
wait_for "$work/legacy.log" "^CHANNEL open" 300 || fail "legacy: no CHANNEL open"
for line in "HTTP method=RDG_OUT_DATA websocket=1 auth=bearer status=200" \
  "HTTP method=RDG_IN_DATA websocket=0 auth=bearer status=200" \
  "HTTP method=RDG_IN_DATA websocket=0 auth=bearer status=0"; do
  grep -qx "$line" "$work/legacy.log" || fail "legacy: no '$line'"
done
check_desktop legacy
kill -TERM "$client_pid" 2>/dev/null
stop_gateway legacy

# --- NTLM: a wrong password is refused, then the account's exchange opens a desktop. NTLM
# needs MD4 and RC4, from OpenSSL's legacy provider in the client too.
printf '%s\n' "openssl_conf = init" "[init]" "providers = prov" "[prov]" "default = on" \
  "legacy = on" "[on]" "activate = 1" >"$work/openssl.cnf"
start_gateway ntlm --user tess --password "Pw-1" --target "127.0.0.1:$shadow_port" \
  --close-after-ms 8000
OPENSSL_CONF=$work/openssl.cnf client ntlm-refused "u:tess,p:Pw-2"
wait_for "$work/ntlm.log" "^AUTH refused kind=ntlm$" 300 || fail "ntlm: no AUTH refused"
for ((i = 0; i < 300; i++)); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
grep -q "CHANNEL" "$work/ntlm.log" && fail "ntlm: a channel opened with a wrong password"
OPENSSL_CONF=$work/openssl.cnf client ntlm "u:tess,p:Pw-1"
wait_for "$work/ntlm.log" "^CHANNEL open" 300 || fail "ntlm: no CHANNEL open"
grep -qx "HTTP method=RDG_OUT_DATA websocket=1 auth=ntlm status=101" "$work/ntlm.log" ||
  fail "ntlm: no 101 after the exchange"
check_desktop ntlm
kill -TERM "$client_pid" 2>/dev/null
stop_gateway ntlm
echo "selftest: ok"
