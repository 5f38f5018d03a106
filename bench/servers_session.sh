# Sourced by the real-server benchmarks: a work folder and private Postfix and Dovecot for this
# run (their VRL_* settings in the environment), both removed on exit, and the small helpers of
# the figures. Needs `harness` (scripts/mailservers.sh), `limit` (seconds one step may take) and
# `work_prefix` set first.
work=$(mktemp -d "${TMPDIR:-/tmp}/$work_prefix.XXXXXX")
servers=""
cleanup() {
  if [ -n "$servers" ]; then
    bash "$harness" stop "$servers" >/dev/null 2>&1 || true
    rm -rf "$servers"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

servers=$(bash "$harness" start | tail -n 1)
eval "$(bash "$harness" env "$servers")"

run() { timeout "$limit" "$@"; }
field() { awk -v k="$1" '$1 == k || $1 == k":" { print $2; exit }'; }  # "key value" or "key: value"
median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
