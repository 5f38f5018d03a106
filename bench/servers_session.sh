# Sourced by the real-server benchmarks: a work folder and private Postfix and Dovecot for this
# run (their VRL_* settings in the environment), both removed on exit, and the small helpers of
# the figures. Needs `harness` (scripts/mailservers.sh), `limit` (seconds one step may take) and
# `work_prefix` set first.
work=$(mktemp -d "${TMPDIR:-/tmp}/$work_prefix.XXXXXX")
servers=""
relay=""
image=""
pg=""
pgharness=$(dirname "${BASH_SOURCE[0]}")/../scripts/pgserver.sh
cleanup() {
  if [ -n "$relay" ]; then kill "$relay" 2>/dev/null || true; fi
  if [ -n "$pg" ]; then
    bash "$pgharness" stop "$pg" >/dev/null 2>&1 || true
    rm -rf "$pg"
  fi
  if [ -n "$servers" ]; then
    bash "$harness" stop "$servers" >/dev/null 2>&1 || true
    rm -rf "$servers"
  fi
  if [ -n "$image" ]; then umount "$work" 2>/dev/null || umount -l "$work" || true; rm -f "$image"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# What the programs write lands on a fresh ext4 with its journal, mounted on the work folder, as
# users' disks are. This machine's own file system may have none, and without one ext4 scans past
# every recently deleted inode for each file it creates: a cost that grows through a run and
# weighs most on whoever creates the most files. BENCH_FS=plain (or no root, no mkfs.ext4)
# keeps the folder where it is.
if [ "${BENCH_FS:-ext4}" = ext4 ] && [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null; then
  image=$work.img
  if truncate -s 4G "$image" && mkfs.ext4 -q -F -O has_journal "$image" && mount -o loop "$image" "$work"; then
    echo "work folder: $work (a fresh ext4 with a journal)"
  else
    rm -f "$image"
    image=""
  fi
fi

servers=$(bash "$harness" start | tail -n 1)
eval "$(bash "$harness" env "$servers")"

# BENCH_FLEET=1: the agent works as a member of a fleet, its journals and leases in a private
# PostgreSQL (scripts/pgserver.sh), reached through the delay relay as well when there is one.
relay_ports=("$VRL_SMTP_PORT" "$VRL_POP3_PORT")
if [ "${BENCH_FLEET:-0}" = 1 ]; then
  pg=$(bash "$pgharness" start | tail -n 1)
  eval "$(bash "$pgharness" env "$pg")"
  relay_ports+=("$VRL_PG_PORT")
fi

# BENCH_DELAY_MS: every client reaches SMTP and POP3 through a relay that holds each chunk that
# long in each direction (a server across a network); 0 or unset: straight on loopback.
if [ "${BENCH_DELAY_MS:-0}" != 0 ]; then
  exec {relay_out}< <(exec /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/delay_relay.py" "$BENCH_DELAY_MS" \
    "${relay_ports[@]}")
  relay=$!
  read -r -t 10 ready VRL_SMTP_PORT VRL_POP3_PORT relayed_pg <&"$relay_out" && [ "$ready" = ready ] ||
    { echo "the delay relay did not start" >&2; exit 1; }
  export VRL_SMTP_PORT VRL_POP3_PORT
  if [ -n "$pg" ]; then VRL_PG_PORT=$relayed_pg; fi
  echo "delay relay: ${BENCH_DELAY_MS} ms each way (smtp $VRL_SMTP_PORT, pop3 $VRL_POP3_PORT${pg:+, database $VRL_PG_PORT})"
fi
if [ -n "$pg" ]; then
  export VRL_FLEET_CONNINFO="host=127.0.0.1 port=$VRL_PG_PORT user=$VRL_PG_USER dbname=$VRL_PG_DB"
  echo "fleet: the agent's journals and leases in PostgreSQL ($VRL_FLEET_CONNINFO)"
fi

run() { timeout "$limit" "$@"; }
field() { awk -v k="$1" '$1 == k || $1 == k":" { print $2; exit }'; }  # "key value" or "key: value"
median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
