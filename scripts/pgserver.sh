#!/usr/bin/env bash
# A private PostgreSQL on 127.0.0.1 for the fleet's tests and benchmarks: a cluster of its own
# (initdb into a temp folder), a free loopback port, trust for one local test user.
#
#   pgserver.sh start [DIR]   make DIR (a new temp folder when omitted), initdb, start; prints DIR
#                             on the last line. A DIR that holds a cluster already starts it again
#                             with its data and port (nothing when it runs).
#   pgserver.sh env DIR       shell assignments for the clients (VRL_PG_HOST=..., VRL_PG_PORT=...,
#                             VRL_PG_USER=..., VRL_PG_DB=..., VRL_PG_CONNINFO=...)
#   pgserver.sh status DIR    exit 0 when the server runs and answers
#   pgserver.sh stop DIR      stop it (fast shutdown) and wait until it is gone
#   pgserver.sh restart DIR   stop, then start again with the same data and port
#
# Everything the server writes lives under DIR (data, socket, log); the machine's own clusters
# (/etc/postgresql, /var/lib/postgresql) are neither read nor touched. PostgreSQL does not run as
# root: as root the cluster belongs to the postgres account (Debian's package makes it).
set -euo pipefail

PY=/usr/bin/python3
die() { echo "pgserver: $*" >&2; exit 1; }

bindir() {
  local d
  for d in /usr/lib/postgresql/*/bin; do [ -x "$d/initdb" ] && { echo "$d"; return; }; done
  die "no PostgreSQL server (bash scripts/install-deps.sh)"
}

need_dir() {
  [ -n "${1:-}" ] || die "missing DIR"
  [ -f "$1/port" ] || die "no server in ${1}"
  (cd "$1" && pwd)
}

# The cluster's owner runs the server programs.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
  "$PY" - <<'PYEOF'
import random, socket
rng = random.SystemRandom()
for _ in range(2000):
    p = rng.randrange(20000, 32000)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", p))
    except OSError:
        continue
    finally:
        s.close()
    print(p)
    break
else:
    raise SystemExit("no free port")
PYEOF
}

run_server() {  # run_server BIN DIR
  as_owner "$1/pg_ctl" -D "$2/data" -l "$2/server.log" -w -t "${VRL_PG_TIMEOUT:-30}" start >/dev/null ||
    { tail -n 30 "$2/server.log" >&2; die "the server did not start"; }
}

start() {
  local dir=${1:-} bin port
  bin=$(bindir)
  if [ -z "$dir" ]; then dir=$(mktemp -d "${TMPDIR:-/tmp}/vrl-pgserver.XXXXXX"); else mkdir -p "$dir"; fi
  dir=$(cd "$dir" && pwd)
  # Clients keep their connection settings: the same port again.
  if [ -f "$dir/port" ] && [ -f "$dir/data/PG_VERSION" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1 || run_server "$bin" "$dir"
    echo "pgserver: running in $dir (port $(cat "$dir/port"))" >&2
    echo "$dir"
    return
  fi
  chmod 755 "$dir"
  [ "$(id -u)" -ne 0 ] || chown postgres: "$dir"
  port=$(free_port)
  as_owner "$bin/initdb" -D "$dir/data" -U vrltest --auth=trust --encoding=UTF8 --locale=C.UTF-8 \
    >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; die "initdb failed"; }
  # Loopback only, the socket in DIR, nothing written outside it.
  cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir'
fsync = on
max_connections = 100
CONF
  echo "$port" >"$dir/port"
  run_server "$bin" "$dir"
  as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U vrltest vrl >/dev/null
  echo "pgserver: running in $dir (port $port)" >&2
  echo "$dir"
}

case "${1:-}" in
  start) start "${2:-}" ;;
  env)
    dir=$(need_dir "${2:-}")
    port=$(cat "$dir/port")
    echo "VRL_PG_HOST=127.0.0.1"
    echo "VRL_PG_PORT=$port"
    echo "VRL_PG_USER=vrltest"
    echo "VRL_PG_DB=vrl"
    echo "VRL_PG_CONNINFO='host=127.0.0.1 port=$port user=vrltest dbname=vrl connect_timeout=5'"
    ;;
  status)
    dir=$(need_dir "${2:-}")
    "$(bindir)/pg_isready" -q -h 127.0.0.1 -p "$(cat "$dir/port")" -t 5
    ;;
  stop | restart)
    dir=$(need_dir "${2:-}")
    as_owner "$(bindir)/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 || true
    [ "$1" = stop ] || start "$dir"
    ;;
  *) die "usage: pgserver.sh start [DIR] | env DIR | status DIR | stop DIR | restart DIR" ;;
esac
