# The rounds of the agent benchmarks (sourced by bench_agent.sh and bench_imap.sh after
# servers_session.sh): a fresh folder per round, timing a program to its exit, and the figures.
bench_name=$(basename "$0" .sh)
die() {
  echo "$bench_name: $*" >&2
  if [ -f "$work/r/log.txt" ]; then echo "----- the agent's log (last 20 lines)" >&2; tail -n 20 "$work/r/log.txt" >&2; fi
  bash "$harness" logs "$servers" >&2 || true
  exit 1
}
count() { find "$1" -maxdepth 1 -type f -name "$2" | wc -l; }
mailbox_count() { find "$VRL_MAILDIR/new" "$VRL_MAILDIR/cur" -type f | wc -l; }

# A fresh round folder: the agent's home, its log, its temporary log (TMPDIR) and the data folder.
fresh_round() {
  bash "$harness" reset "$servers"
  rm -rf "$work/r"
  mkdir -p "$work/r/home" "$work/r/tmp" "$work/r/data"
}

# measure NAME CMD...: times CMD to its exit; leaves "seconds", "peak_rss_kb" in $work/r/NAME.m
measure() {
  local name=$1; shift
  if ! TMPDIR=$work/r/tmp "$py" "$here/bench_agent.py" measure "$limit" "$work/r/$name.log" -- "$@" \
      >"$work/r/$name.m"; then
    cat "$work/r/$name.log" >&2 || true
    die "$name exited with status $(field status <"$work/r/$name.m")"
  fi
}
rate() { calc "$n / $(field seconds <"$work/r/$1.m")"; }
rss_mib() { calc "$(field peak_rss_kb <"$work/r/$1.m") / 1024"; }
