#!/usr/bin/env bash
# korvane-web on several nodes on this machine, behind HAProxy, sharing a registry in Redis:
# what the README's "on several machines" starts by hand, and what the tests start.
#
#   scripts/web-cluster.sh start DIR CONFIG [NODES] [FRONT_PORT]
#       Nodes node1..nodeN (3 by default) on 127.0.0.2, 127.0.0.3, ... each with CONFIG's
#       targets, Redis on 127.0.0.1, HAProxy on 127.0.0.1:FRONT_PORT (8080 by default). DIR
#       holds the secret, the configurations, the logs and the pids.
#   scripts/web-cluster.sh stop DIR
#       Stops them all (the nodes first, which take their keys out of the registry).
#
# KORVANE_WEB (default build/korvane-web) names the gateway; KORVANE_WEB_ARGS adds arguments.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {  # host port: up to 10 s
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "web-cluster: nothing listens on $1:$2" >&2
  return 1
}

start() {
  local dir=$1 config=$2 nodes=${3:-3} front=${4:-8080}
  [ -f "$config" ] || { echo "web-cluster: no configuration $config" >&2; exit 2; }
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  local web=${KORVANE_WEB:-$here/build/korvane-web}
  [ -x "$web" ] || { echo "web-cluster: $web not built" >&2; exit 2; }
  [ -f "$dir/secret" ] || (umask 077 && openssl rand -hex 32 >"$dir/secret")
  local redis_port node_port
  redis_port=$(free_port)
  node_port=$(free_port)
  redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly no \
    --daemonize no --logfile "$dir/redis.log" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/redis.pid"
  wait_port 127.0.0.1 "$redis_port"
  local servers="" i address
  for i in $(seq 1 "$nodes"); do
    address=127.0.0.$((i + 1))
    {
      echo "node = node$i"
      echo "registry = 127.0.0.1:$redis_port"
      echo "secret_file = $dir/secret"
      echo "origin = http://127.0.0.1:$front"
      echo "origin = http://localhost:$front"
      cat "$config"
    } >"$dir/node$i.conf"
    # shellcheck disable=SC2086
    "$web" --config "$dir/node$i.conf" --listen "$address" --port "$node_port" \
      ${KORVANE_WEB_ARGS:-} </dev/null >"$dir/node$i.out" 2>"$dir/node$i.log" &
    echo $! >"$dir/node$i.pid"
    servers+="    server node$i $address:$node_port check cookie node$i"$'\n'
  done
  for i in $(seq 1 "$nodes"); do wait_port "127.0.0.$((i + 1))" "$node_port"; done
  local cfg
  cfg=$(<"$here/tools/web/cluster/haproxy.cfg.in")
  cfg=${cfg//@FRONT@/127.0.0.1:$front}
  printf '%s\n' "${cfg//@SERVERS@/${servers%$'\n'}}" >"$dir/haproxy.cfg"
  haproxy -f "$dir/haproxy.cfg" -db </dev/null >"$dir/haproxy.log" 2>&1 &
  echo $! >"$dir/haproxy.pid"
  wait_port 127.0.0.1 "$front"
  echo "$node_port $redis_port" >"$dir/ports"
  echo "web-cluster: open http://127.0.0.1:$front/ ($nodes nodes on port $node_port, redis on $redis_port)"
}

stop() {
  local dir=$1 f pid
  for f in "$dir"/node*.pid "$dir/haproxy.pid" "$dir/redis.pid"; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    # SIGINT: a node stops at once (SIGTERM would drain it).
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$f"
  done
}

case ${1:-} in
  start) shift; start "$@" ;;
  stop) stop "$2" ;;
  *) sed -n '2,14p' "$0" >&2; exit 2 ;;
esac
