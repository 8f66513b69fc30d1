#!/usr/bin/env bash
# xrdp 0.9 (Debian 12's xrdp + xorgxrdp) as a test peer on 127.0.0.1: its own xrdp and
# xrdp-sesman with their own configuration, logs and PID files, one fresh xorgxrdp session per
# connection running a known picture (a solid root, no desktop). Needs root (sesman logs users in
# through PAM and starts their sessions).
#
#   xrdp09.sh start PORT        starts it; prints "LISTENING port=PORT" once xrdp accepts there
#                               (nothing to do when this PORT's instance already runs)
#   xrdp09.sh display PORT [N]  waits for the N-th session (default 1; one per connection, in the
#                               order they come up) to be up, its root painted and its client's
#                               monitor layout applied, and prints its X display (":N"). Root
#                               talks to it with no cookie (the session lets root in through
#                               xhost), or with XAUTHORITY=/home/$KORVANE_XRDP_USER/.Xauthority.
#                               A connection that reattaches to a session (policy Default) finds
#                               a layout there already: wait for its own with `layouts`.
#   xrdp09.sh layouts PORT :N [COUNT]
#                               prints how many monitor layouts the session on :N has applied
#                               (1 at connect, +1 per display control layout); with COUNT waits
#                               (bounded) for that many first and fails without them
#   xrdp09.sh as-user PORT :N CMD [ARG ...]
#                               runs CMD as the test user in the session on :N, inside the
#                               instance's mount namespace (where the pasted files' folder is
#                               mounted, for that user only); its exit status, 124 after the wait
#   xrdp09.sh stop PORT         ends everything it started: xrdp, sesman, the sessions' Xorg and
#                               programs (bounded waits); nothing to do when it does not run
#
# The test user: $KORVANE_XRDP_USER (default korvane-xrdp) with the password
# $KORVANE_XRDP_PASSWORD (default korvane-xrdp-pw), made by `start` when absent; its password is
# set only when this script makes it. Other users are left alone.
#
# Environment (all optional):
#   KORVANE_XRDP_DIR        the instance's state folder (default /tmp/korvane-xrdp09-PORT):
#                           etc/ (xrdp.ini, sesman.ini, keys), run/ (PID files, sockets),
#                           xrdp.log, sesman.log, sessions (one ":N" line per session up)
#   KORVANE_XRDP_USER, KORVANE_XRDP_PASSWORD   the test user, see above
#   KORVANE_XRDP_COLOUR     the sessions' root colour (default #204060)
#   KORVANE_XRDP_POLICY     sesman's session policy (default UBC: a new session per connection;
#                           Default reattaches a user's next connection to its session)
#   KORVANE_XRDP_DISPLAY_OFFSET  first X display number sesman tries (default 200 + 10*(PORT%40))
#   KORVANE_XRDP_WAIT       seconds start, display and as-user wait at most (default 30)
#   KORVANE_XRDP_CLIPBOARD  1: the clipboard channel, with its folder of pasted files (chansrv's
#                           FUSE mount, ~/thinclient_drives); default off
#
# How it stays apart from an xrdp the machine may run: xrdp 0.9 reads /etc/xrdp/sesman.ini and
# writes /run/xrdp/*.pid whatever it is told, so both run in a mount namespace of their own where
# those two folders are this instance's, and in a PID namespace of their own, so that `stop`
# finds every process the sessions started, daemons included.
set -euo pipefail

user=${KORVANE_XRDP_USER:-korvane-xrdp}
password=${KORVANE_XRDP_PASSWORD:-korvane-xrdp-pw}
wait_s=${KORVANE_XRDP_WAIT:-30}
[ "${KORVANE_XRDP_CLIPBOARD:-0}" = 1 ] && clipboard=true || clipboard=false

die() { echo "xrdp09: $*" >&2; exit 1; }

# The instance's logs, to stderr: what a failed start or wait shows.
show_logs() {
  local f
  for f in "$dir/launcher.log" "$dir/sesman.log" "$dir/xrdp.log" "$dir"/xorg/Xorg.*.log; do
    [ -s "$f" ] && { echo "--- tail of $f" >&2; tail -n 25 "$f" >&2; }
  done
  return 0
}

port_arg() {
  [[ ${1:-} =~ ^[0-9]+$ ]] && [ "$1" -gt 0 ] && [ "$1" -lt 65536 ] || die "bad port '${1:-}'"
  port=$1
  dir=${KORVANE_XRDP_DIR:-/tmp/korvane-xrdp09-$port}
}

# The PID namespace's first process (the launcher inside unshare) when it still runs.
inner_init() {
  local pid
  pid=$(cat "$dir/launcher.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  # unshare --fork: the launcher is unshare's only child.
  pid=$(ps -o pid= --ppid "$pid" | head -n 1 | tr -d ' ')
  [ -n "$pid" ] && echo "$pid"
}

# Every process in the instance's PID namespace, seen from outside.
members() {
  local init ns
  init=$(inner_init) || return 0
  ns=$(readlink "/proc/$init/ns/pid") || return 0
  # One find for all of /proc ("pid:[N]", its brackets escaped for -lname's pattern).
  ns=${ns//[/\\[}
  ns=${ns//]/\\]}
  find /proc/[0-9]*/ns/pid -maxdepth 0 -lname "$ns" 2>/dev/null | cut -d/ -f3
  return 0
}

# listening [PORT]: something listens on 127.0.0.1:PORT (default the instance's); with a PORT,
# on any loopback address (sesman binds "127.0.0.1" as ::1). Read from the kernel's tables rather
# than by connecting, which xrdp would log as a failed session.
listening() {
  local hex
  if [ $# -eq 0 ]; then
    hex=$(printf '0100007F:%04X' "$port")
    awk -v a="$hex" '$2 == a && $4 == "0A" { f = 1 } END { exit !f }' /proc/net/tcp
  else
    hex=$(printf ':%04X' "$1")
    awk -v p="$hex" 'substr($2, length($2) - 4) == p && $4 == "0A" { f = 1 } END { exit !f }' \
      /proc/net/tcp /proc/net/tcp6
  fi
}

ensure_user() {
  id "$user" >/dev/null 2>&1 && return 0
  # Two instances starting at once may both get here: the loser's useradd fails, its id works.
  if useradd --create-home --shell /bin/sh --comment "korvane xrdp test user" "$user" 2>/dev/null; then
    echo "$user:$password" | chpasswd
  fi
  id "$user" >/dev/null 2>&1 || die "could not create the user $user"
}

write_config() {
  mkdir -p "$dir/etc" "$dir/run/sockdir"
  # sockdir as the package makes it: sessions of any user put their sockets there.
  chmod 1777 "$dir/run/sockdir"
  cp /etc/xrdp/km-*.ini /etc/xrdp/xrdp_keyboard.ini /etc/xrdp/rsakeys.ini "$dir/etc/"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=korvane-xrdp09" \
    -keyout "$dir/etc/key.pem" -out "$dir/etc/cert.pem" >/dev/null 2>&1 ||
    die "openssl could not make a certificate"
  : >"$dir/sessions"
  chmod 666 "$dir/sessions"

  cat >"$dir/etc/xrdp.ini" <<EOF
[Globals]
ini_version=1
fork=true
port=tcp://127.0.0.1:$port
tcp_nodelay=true
security_layer=negotiate
crypt_level=high
certificate=/etc/xrdp/cert.pem
key_file=/etc/xrdp/key.pem
ssl_protocols=TLSv1.2, TLSv1.3
autorun=Xorg
allow_channels=true
allow_multimon=true
bitmap_cache=true
bitmap_compression=true
bulk_compression=true
max_bpp=32
new_cursors=true
use_fastpath=both

[Logging]
LogFile=$dir/xrdp.log
LogLevel=INFO
EnableSyslog=false

[Channels]
rdpdr=false
rdpsnd=false
drdynvc=true
cliprdr=$clipboard
rail=false
xrdpvr=false
tcutils=false

[Xorg]
name=Xorg
lib=libxup.so
username=ask
password=ask
ip=127.0.0.1
port=-1
code=20
EOF

  local offset=${KORVANE_XRDP_DISPLAY_OFFSET:-$((200 + 10 * (port % 40)))}
  cat >"$dir/etc/sesman.ini" <<EOF
[Globals]
ListenAddress=127.0.0.1
ListenPort=$sesman_port
EnableUserWindowManager=false
DefaultWindowManager=korvane-session.sh
ReconnectScript=korvane-reconnect.sh

[Security]
AllowRootLogin=false
MaxLoginRetry=4
AlwaysGroupCheck=false

[Sessions]
X11DisplayOffset=$offset
MaxSessions=8
KillDisconnected=false
IdleTimeLimit=0
DisconnectedTimeLimit=0
Policy=${KORVANE_XRDP_POLICY:-UBC}

[Logging]
LogFile=$dir/sesman.log
LogLevel=INFO
EnableSyslog=false

[Xorg]
param=/usr/lib/xorg/Xorg
param=-config
param=xrdp/xorg.conf
param=-noreset
param=-nolisten
param=tcp
param=-logfile
param=$dir/xorg/Xorg.%s.log

[Chansrv]
EnableFuseMount=$clipboard
FuseMountName=thinclient_drives

[ChansrvLogging]
LogLevel=WARNING
EnableSyslog=false
EnableConsole=false
EOF

  # The session: a solid root and nothing else, so that its picture is known; root may talk to
  # the display; the line in "sessions" says it is ready. A reconnection to a session (policy
  # Default) paints and says so again.
  cat >"$dir/etc/korvane-reconnect.sh" <<EOF
#!/bin/sh
xsetroot -solid '${KORVANE_XRDP_COLOUR:-#204060}'
xhost +si:localuser:root >/dev/null
echo "\${DISPLAY%.*}" >>'$dir/sessions'
EOF
  { cat "$dir/etc/korvane-reconnect.sh"; echo "exec sleep infinity"; } >"$dir/etc/korvane-session.sh"
  chmod 755 "$dir/etc/korvane-reconnect.sh" "$dir/etc/korvane-session.sh"
  # Xorg runs as the user and writes its log there.
  mkdir -p "$dir/xorg"
  chmod 1777 "$dir/xorg"
  chmod 755 "$dir" "$dir/etc"
}

cmd_start() {
  port_arg "${1:-}"
  [ "$(id -u)" -eq 0 ] || die "needs root"
  local b
  for b in xrdp xrdp-sesman /usr/lib/xorg/Xorg xsetroot xhost xauth unshare openssl; do
    command -v "$b" >/dev/null || die "missing $b (scripts/setup.sh installs it)"
  done
  [ -f /usr/lib/xorg/modules/drivers/xrdpdev_drv.so ] || die "missing xorgxrdp"
  if inner_init >/dev/null && listening; then
    echo "LISTENING port=$port"
    return 0
  fi
  cmd_stop "$port" >/dev/null 2>&1 || true
  listening && die "something else listens on 127.0.0.1:$port"
  rm -rf "$dir"
  mkdir -p "$dir"
  ensure_user
  # The session's programs run as the user and write there (KORVANE_XRDP_DIR under a folder of
  # mode 700, as mktemp -d makes, fails here rather than as a session that never comes).
  runuser -u "$user" -- test -x "$dir" ||
    die "$user cannot reach $dir: every folder above it must be searchable (chmod o+x)"
  # sesman's own port: any free one (xrdp finds it in the sesman.ini it reads).
  sesman_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  write_config

  # The launcher: private /etc/xrdp and /run/xrdp, then both daemons in the foreground.
  # /var/run is /run on Debian 12, so /var/run/xrdp/*.pid lands in $dir/run.
  setsid unshare --pid --fork --mount --propagation private --kill-child \
    bash -c '
      set -e
      # /run is emptied at boot; the package made /run/xrdp when it was installed.
      mkdir -p /run/xrdp
      mount --bind "$1/etc" /etc/xrdp
      mount --bind "$1/run" /run/xrdp
      xrdp-sesman --nodaemon &
      xrdp --nodaemon &
      wait -n
      echo "launcher: a daemon ended" >&2
    ' launcher "$dir" </dev/null >"$dir/launcher.log" 2>&1 &
  echo $! >"$dir/launcher.pid"

  local i
  for ((i = 0; i < wait_s * 10; i++)); do
    if listening && listening "$sesman_port"; then
      echo "LISTENING port=$port"
      return 0
    fi
    inner_init >/dev/null || break
    sleep 0.1
  done
  echo "xrdp09: xrdp did not start on 127.0.0.1:$port" >&2
  show_logs
  cmd_stop "$port" >/dev/null 2>&1 || true
  exit 1
}

# layouts_of :N: how many monitor layouts the session's X server has taken from xrdp: one at
# connect, one more per display control change (xorgxrdp logs each as it applies it).
layouts_of() {
  local n
  n=$(grep -c "^\[ *[0-9.]*\] rdpRRSetRdpOutputs: numCrtcs" "$dir/xorg/Xorg.${1#:}.log" 2>/dev/null) ||
    true
  echo "${n:-0}"
}

# The N-th session once it is painted and holds its client's first layout. The X server handles
# one request at a time, so anything asked of it after the log line sees the whole layout.
cmd_display() {
  port_arg "${1:-}"
  local n=${2:-1} i line=""
  [[ $n =~ ^[1-9][0-9]*$ ]] || die "bad session number '$n'"
  for ((i = 0; i < wait_s * 10; i++)); do
    [ -n "$line" ] || line=$(sed -n "${n}p" "$dir/sessions" 2>/dev/null)
    if [ -n "$line" ] && [ "$(layouts_of "$line")" -ge 1 ]; then
      echo "$line"
      return 0
    fi
    sleep 0.1
  done
  echo "xrdp09: no session $n (${line:-not started}) with a layout on port $port after ${wait_s} s" >&2
  show_logs
  exit 1
}

# layouts PORT :N [COUNT]: prints how many layouts the session on :N has taken; with COUNT,
# first waits until it has taken that many.
cmd_layouts() {
  port_arg "${1:-}"
  local d=${2:-} want=${3:-0} i
  [[ $d =~ ^:[0-9]+$ ]] || die "bad display '$d'"
  for ((i = 0; i < wait_s * 10; i++)); do
    [ "$(layouts_of "$d")" -ge "$want" ] && break
    sleep 0.1
  done
  layouts_of "$d"
  [ "$(layouts_of "$d")" -ge "$want" ] || { show_logs; exit 1; }
}

cmd_stop() {
  port_arg "${1:-}"
  local pids i p launcher
  launcher=$(cat "$dir/launcher.pid" 2>/dev/null || true)
  # SIGTERM first so that the X servers remove their sockets and locks, then SIGKILL to the
  # namespace's first process, which takes every process left in it.
  pids=$(members)
  # shellcheck disable=SC2086 # one PID a word
  [ -n "$pids" ] && { kill -TERM $pids 2>/dev/null || true; }
  for ((i = 0; i < 30; i++)); do
    pids=$(members | grep -vx "$(inner_init || echo none)" || true)
    [ -z "$pids" ] && break
    sleep 0.1
  done
  p=$(inner_init || true)
  [ -n "$p" ] && { kill -KILL "$p" 2>/dev/null || true; }
  if [ -n "$launcher" ]; then
    kill -KILL "$launcher" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$launcher" 2>/dev/null && die "the launcher $launcher outlived SIGKILL"
  fi
  # A killed X server leaves its lock and socket behind: those of this instance's sessions go.
  local f d
  for f in "$dir"/xorg/Xorg.*.log; do
    d=${f##*/Xorg.}
    d=${d%.log}
    [[ $d =~ ^[0-9]+$ ]] && rm -f "/tmp/.X$d-lock" "/tmp/.X11-unix/X$d"
  done
  rm -f "$dir/launcher.pid"
  return 0
}

# as-user PORT :N CMD...: see the header.
cmd_as_user() {
  port_arg "${1:-}"
  local d=${2:-} init
  [[ $d =~ ^:[0-9]+$ ]] || die "bad display '$d'"
  shift 2
  [ $# -gt 0 ] || die "as-user wants a command"
  init=$(inner_init) || die "no instance runs on port $port"
  exec timeout "$wait_s" nsenter -t "$init" -m -- runuser -u "$user" -- \
    env DISPLAY="$d" XAUTHORITY="/home/$user/.Xauthority" "$@"
}

case ${1:-} in
  start) shift; cmd_start "$@" ;;
  as-user) shift; cmd_as_user "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  display) shift; cmd_display "$@" ;;
  layouts) shift; cmd_layouts "$@" ;;
  *) die "usage: xrdp09.sh start PORT | display PORT [N] | layouts PORT :N [COUNT] | stop PORT" ;;
esac
