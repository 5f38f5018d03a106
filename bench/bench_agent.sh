#!/usr/bin/env bash
# The whole agent against private Postfix and Dovecot on loopback (scripts/mailservers.sh), one
# profile per run, each beside vrlmail and what users pick instead doing the same work in the same
# round (smtplib on one connection and msmtp once per message for sending, in clear text; mpop
# for fetching, under STLS as the agent and vrlmail are):
#   send   N files of 10 KB (distinct contents) in the outbound folder of a send-only profile:
#          one cycle of VRLEng31 sends each as the attachment of a message and deletes it.
#          vrlmail can attach only the same files to every copy, so its side is N copies of one
#          10 KB attachment with --count N, on one connection as the agent's session is.
#   fetch  N waiting messages with one attachment of BENCH_FETCH_BYTES (default 2 KB) each
#          (written straight into the Maildir):
#          a receive-only profile writes each attachment and an information file, then deletes
#          the message; vrlmail fetch takes a refilled mailbox (attachments only).
# Both programs are timed from start to exit and their peak resident memory read the same way
# (the child's own VmHWM), so start-up and the configuration read count for both.
# usage: bench/bench_agent.sh BUILD_DIR
# Every figure is printed on its own line as "name: value unit". Rates are the median of
# BENCH_ROUNDS rounds (default 3); BENCH_MESSAGES (default 1000).
set -euo pipefail
build=$(cd "${1:?usage: bench_agent.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
agent=$build/bin/VRLEng31
cfg=$build/bin/VRLCfg31
vrlmail=$build/bin/vrlmail
harness=$here/../scripts/mailservers.sh
template=$here/../demo/demo-config.json
py=/usr/bin/python3
rounds=${BENCH_ROUNDS:-3}
n=${BENCH_MESSAGES:-1000}
size=10240
fsize=${BENCH_FETCH_BYTES:-2048}
limit=900  # seconds any one step may take

for b in "$agent" "$cfg" "$vrlmail"; do
  [ -x "$b" ] || { echo "bench_agent: no $b (build first)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "bench_agent: must run as root (private Postfix and Dovecot)" >&2; exit 1; }

work_prefix=vrl-bench-agent
# shellcheck source=bench/servers_session.sh
source "$here/servers_session.sh"
export VRL_TLS_CA

servers_py() { run "$py" "$here/bench_mailservers.py" "$@"; }
helper() { run "$py" "$here/bench_agent.py" "$@"; }
# shellcheck source=bench/agent_rounds.sh
source "$here/agent_rounds.sh"

import_config() {  # import_config KIND ARGS...: the agent's configuration for this round
  helper config "$template" "$work/r/config.json" "$1" "$work/r/log.txt" "${@:2}"
  run "$cfg" --home "$work/r/home" --import "$work/r/config.json" >/dev/null ||
    die "VRLCfg31 refused the benchmark configuration"
}

# The agent checks addresses against a list of top-level domains: the harness's address for it.
address=$VRL_AGENT_ADDRESS

printf 'A file from the benchmark.\n' >"$work/body.txt"
head -c "$size" /dev/urandom >"$work/one.DAT"
sha=$(sha256sum "$work/one.DAT" | cut -d' ' -f1)
awk -v s="$sha" -v n="$n" 'BEGIN { for (i = 0; i < n; i++) print s }' >"$work/one.manifest"

# The medians of one side's rounds (a_rate, a_rss, v_rate, v_rss, and each other client's rates
# in o_rate_NAME): report WORK ITEMS UNIT OTHER...
report() {
  local a v o name
  a=$(echo "${a_rate[*]}" | median)
  v=$(echo "${v_rate[*]}" | median)
  echo "agent_$1_$2_rate: $a $3"
  echo "agent_$1_peak_rss: $(echo "${a_rss[*]}" | median) MiB"
  echo "vrlmail_$1_$2_rate: $v $3"
  echo "vrlmail_$1_peak_rss: $(echo "${v_rss[*]}" | median) MiB"
  echo "agent_vs_vrlmail_$1_ratio: $(calc "$a / $v" 2) x"
  for name in "${@:4}"; do
    local -n rates=o_rate_$name
    o=$(echo "${rates[*]}" | median)
    echo "${name}_$1_$2_rate: $o $3"
    echo "agent_vs_${name}_$1_ratio: $(calc "$a / $o" 2) x"
  done
}

# timed CMD...: runs CMD, prints the seconds it took
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null || return 1
  t1=$(date +%s.%N)
  calc "$t1 - $t0" 3
}
msmtp_each() {  # one msmtp run per message, as a program that mails each file does
  local i
  for i in $(seq "$n"); do
    run msmtp --host="$VRL_MAIL_HOST" --port="$VRL_SMTP_PORT" --tls=off --auth=off \
      --from=bench@localhost mailtest@localhost <"$work/raw.eml" || return 1
  done
}
mpop_all() {
  run mpop --host="$VRL_MAIL_HOST" --port="$VRL_POP3_PORT" --tls=on --tls-starttls=on \
    --tls-trust-file="$VRL_TLS_CA" --auth=user --user="$VRL_MAIL_USER" \
    --passwordeval="cat $VRL_MAIL_PASS_FILE" --delivery="maildir,$work/r/mpop" --keep=off --only-new=off \
    --received-header=off -q
}
servers_py raw-message "$work/body.txt" "$work/one.DAT" "$work/raw.eml"

# --- send: N files of 10 KB
a_rate=() a_rss=() v_rate=() v_rss=() o_rate_smtplib=() o_rate_msmtp=()
for _ in $(seq "$rounds"); do
  fresh_round
  helper files "$work/r/data" "$n" "$size" "$work/r/manifest"
  import_config send "$work/r/data" "$VRL_MAIL_HOST" "$VRL_SMTP_PORT" "$address"
  measure agent_send "$agent" --run --home "$work/r/home"
  left=$(count "$work/r/data" '*')
  [ "$left" -eq 0 ] || die "the agent left $left of $n outbound files"
  servers_py wait "$VRL_MAILDIR" "$servers/spool" "$n" "$limit" >/dev/null
  helper check-delivered "$VRL_MAILDIR" "$work/r/manifest" >/dev/null || die "agent: wrong mail delivered"
  a_rate+=("$(rate agent_send)") a_rss+=("$(rss_mib agent_send)")

  fresh_round
  measure vrlmail_send "$vrlmail" send --host "$VRL_MAIL_HOST" --port "$VRL_SMTP_PORT" \
    --from bench@example.com --to "$address" --subject "bench message" \
    --text-file "$work/body.txt" --attach "$work/one.DAT" --timeout 60 --quiet --count "$n"
  grep -qx "sent: $n of $n" "$work/r/vrlmail_send.log" || die "vrlmail sent fewer than $n"
  servers_py wait "$VRL_MAILDIR" "$servers/spool" "$n" "$limit" >/dev/null
  helper check-delivered "$VRL_MAILDIR" "$work/one.manifest" >/dev/null || die "vrlmail: wrong mail delivered"
  v_rate+=("$(rate vrlmail_send)") v_rss+=("$(rss_mib vrlmail_send)")

  fresh_round
  out=$(servers_py smtp "$VRL_MAIL_HOST" "$VRL_SMTP_PORT" "$n" "$work/body.txt" "$work/one.DAT") || die "smtplib failed"
  servers_py wait "$VRL_MAILDIR" "$servers/spool" "$n" "$limit" >/dev/null
  o_rate_smtplib+=("$(calc "$n / $(echo "$out" | field seconds)")")

  fresh_round
  seconds=$(timed msmtp_each) || die "msmtp failed"
  servers_py wait "$VRL_MAILDIR" "$servers/spool" "$n" "$limit" >/dev/null
  o_rate_msmtp+=("$(calc "$n / $seconds")")
done
report send files files/s smtplib msmtp

# --- fetch: N messages with one 10 KB attachment each
a_rate=() a_rss=() v_rate=() v_rss=() o_rate_mpop=()
for _ in $(seq "$rounds"); do
  fresh_round
  servers_py fill "$VRL_MAILDIR" "$n" "$fsize"
  import_config fetch "$work/r/data" "$VRL_MAIL_HOST" "$VRL_POP3_PORT" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE"
  measure agent_fetch "$agent" --run --home "$work/r/home"
  [ "$(count "$work/r/data" '*.DAT')" -eq "$n" ] || die "the agent wrote $(count "$work/r/data" '*.DAT') of $n attachment files"
  [ "$(count "$work/r/data" '*.INF')" -eq "$n" ] || die "the agent wrote $(count "$work/r/data" '*.INF') of $n information files"
  [ "$(mailbox_count)" -eq 0 ] || die "the agent left $(mailbox_count) messages on the server"
  a_rate+=("$(rate agent_fetch)") a_rss+=("$(rss_mib agent_fetch)")

  fresh_round
  servers_py fill "$VRL_MAILDIR" "$n" "$fsize"
  measure vrlmail_fetch "$vrlmail" fetch --host "$VRL_MAIL_HOST" --port "$VRL_POP3_PORT" \
    --user "$VRL_MAIL_USER" --password-file "$VRL_MAIL_PASS_FILE" --dir "$work/r/data" --timeout 60 \
    --ca-file "$VRL_TLS_CA"  # under STLS, as the agent's profile is
  [ "$(count "$work/r/data" '*')" -eq "$n" ] || die "vrlmail wrote $(count "$work/r/data" '*') of $n attachment files"
  [ "$(mailbox_count)" -eq 0 ] || die "vrlmail left $(mailbox_count) messages on the server"
  v_rate+=("$(rate vrlmail_fetch)") v_rss+=("$(rss_mib vrlmail_fetch)")

  # mpop, the established fetcher: raw messages into a Maildir (no parsing, no attachment files)
  fresh_round
  servers_py fill "$VRL_MAILDIR" "$n" "$fsize"
  mkdir -p "$work/r/mpop/cur" "$work/r/mpop/new" "$work/r/mpop/tmp"
  seconds=$(timed mpop_all) || die "mpop failed"
  [ "$(count "$work/r/mpop/new" '*')" -eq "$n" ] || die "mpop delivered $(count "$work/r/mpop/new" '*') of $n"
  o_rate_mpop+=("$(calc "$n / $seconds")")
done
report fetch messages msg/s mpop
