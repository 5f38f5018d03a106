#!/usr/bin/env bash
# The agent fetching over IMAP from the private Dovecot on loopback (scripts/mailservers.sh),
# beside mbsync pulling the same folder:
#   N waiting messages with one attachment of BENCH_FETCH_BYTES (default 2 KB) each, written
#   straight into the Maildir. One cycle of VRLEng31 with an IMAP profile (STARTTLS on the IMAP
#   port, as the automatic security takes it; INBOX, "delete") writes each attachment and an
#   information file, then deletes the messages. mbsync (a private mbsyncrc, STARTTLS, the test
#   CA) pulls the new messages of a refilled INBOX into a local Maildir: it only copies raw
#   messages (no parsing, no attachment files) and deletes nothing on the server.
# Both programs are timed from start to exit, their peak resident memory read the same way (the
# child's own VmHWM, bench_agent.py measure).
# usage: bench/bench_imap.sh BUILD_DIR
# Every figure is printed on its own line as "name: value unit". Rates are the median of
# BENCH_ROUNDS rounds (default 3); BENCH_MESSAGES (default 200). BENCH_DELAY_MS: both reach
# Dovecot through bench/delay_relay.py holding every chunk that long in each direction.
set -euo pipefail
build=$(cd "${1:?usage: bench_imap.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
agent=$build/bin/VRLEng31
cfg=$build/bin/VRLCfg31
harness=$here/../scripts/mailservers.sh
template=$here/../demo/demo-config.json
py=/usr/bin/python3
rounds=${BENCH_ROUNDS:-3}
n=${BENCH_MESSAGES:-200}
fsize=${BENCH_FETCH_BYTES:-2048}
limit=900  # seconds any one step may take

for b in "$agent" "$cfg"; do
  [ -x "$b" ] || { echo "bench_imap: no $b (build first)" >&2; exit 1; }
done
command -v mbsync >/dev/null || { echo "bench_imap: no mbsync (bash scripts/install-deps.sh)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "bench_imap: must run as root (private Postfix and Dovecot)" >&2; exit 1; }

# The shared session relays SMTP and POP3 only: the IMAP port gets its own relay below.
delay_ms=${BENCH_DELAY_MS:-0}
work_prefix=vrl-bench-imap
# shellcheck source=bench/servers_session.sh
BENCH_DELAY_MS=0 source "$here/servers_session.sh"
export VRL_TLS_CA
if [ "$delay_ms" != 0 ]; then
  exec {relay_out}< <(exec "$py" "$here/delay_relay.py" "$delay_ms" "$VRL_IMAP_PORT")
  relay=$!  # ended by the session's cleanup
  if ! read -r -t 10 ready VRL_IMAP_PORT <&"$relay_out" || [ "$ready" != ready ]; then
    echo "bench_imap: the delay relay did not start" >&2; exit 1
  fi
  echo "delay relay: ${delay_ms} ms each way (imap $VRL_IMAP_PORT)"
fi

servers_py() { run "$py" "$here/bench_mailservers.py" "$@"; }
# shellcheck source=bench/agent_rounds.sh
source "$here/agent_rounds.sh"

# mbsync's configuration: INBOX of the server pulled into a Maildir of this round, new messages
# only, its sync state inside that Maildir (a fresh round starts with none). The host is named
# "localhost": this isync matches the certificate's DNS names only, not its IP address.
mbsyncrc() {
  cat <<EOF
IMAPAccount bench
Host localhost
Port $VRL_IMAP_PORT
User $VRL_MAIL_USER
PassCmd "cat $VRL_MAIL_PASS_FILE"
SSLType STARTTLS
CertificateFile $VRL_TLS_CA

IMAPStore server
Account bench

MaildirStore local
Path $work/r/mbsync/
Inbox $work/r/mbsync/INBOX

Channel bench
Far :server:INBOX
Near :local:INBOX
Sync PullNew
Create Near
Expunge None
SyncState *
EOF
}

a_rate=() a_rss=() m_rate=() m_rss=()
for _ in $(seq "$rounds"); do
  fresh_round
  servers_py fill "$VRL_MAILDIR" "$n" "$fsize"
  run "$py" "$here/bench_imap.py" config "$template" "$work/r/config.json" "$work/r/log.txt" "$work/r/data" \
    "$VRL_MAIL_HOST" "$VRL_IMAP_PORT" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE"
  run "$cfg" --home "$work/r/home" --import "$work/r/config.json" >/dev/null ||
    die "VRLCfg31 refused the benchmark configuration"
  measure agent_imap "$agent" --run --home "$work/r/home"
  [ "$(count "$work/r/data" '*.DAT')" -eq "$n" ] || die "the agent wrote $(count "$work/r/data" '*.DAT') of $n attachment files"
  [ "$(count "$work/r/data" '*.INF')" -eq "$n" ] || die "the agent wrote $(count "$work/r/data" '*.INF') of $n information files"
  [ "$(mailbox_count)" -eq 0 ] || die "the agent left $(mailbox_count) messages on the server"
  grep -q "IMAP connection under TLSv1" "$work/r/log.txt" || die "the agent's IMAP session was not under TLS"
  a_rate+=("$(rate agent_imap)") a_rss+=("$(rss_mib agent_imap)")

  fresh_round
  servers_py fill "$VRL_MAILDIR" "$n" "$fsize"
  mkdir -p "$work/r/mbsync"
  mbsyncrc >"$work/r/mbsyncrc"
  measure mbsync mbsync -q -c "$work/r/mbsyncrc" bench
  got=$(find "$work/r/mbsync/INBOX/new" "$work/r/mbsync/INBOX/cur" -type f | wc -l)
  [ "$got" -eq "$n" ] || die "mbsync copied $got of $n messages"
  m_rate+=("$(rate mbsync)") m_rss+=("$(rss_mib mbsync)")
done

a=$(echo "${a_rate[*]}" | median)
m=$(echo "${m_rate[*]}" | median)
echo "agent_imap_fetch_rounds: ${a_rate[*]} msg/s"
echo "mbsync_fetch_rounds: ${m_rate[*]} msg/s"
echo "agent_imap_fetch_messages_rate: $a msg/s"
echo "agent_imap_fetch_peak_rss: $(echo "${a_rss[*]}" | median) MiB"
echo "mbsync_fetch_messages_rate: $m msg/s"
echo "mbsync_fetch_peak_rss: $(echo "${m_rss[*]}" | median) MiB"
echo "agent_vs_mbsync_imap_fetch_ratio: $(calc "$a / $m" 2) x"
