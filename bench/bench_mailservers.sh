#!/usr/bin/env bash
# Real-server benchmarks of vrlmail against private Postfix and Dovecot on loopback
# (scripts/mailservers.sh), each beside Python's standard library doing the same work in the
# same run:
#   SMTP  N small messages on one connection: vrlmail send --count N, then smtplib
#   POP3  N small messages (one attachment each, written straight into the Maildir): retrieve,
#         parse, save the attachments, delete: vrlmail fetch, then poplib + email (refilled),
#         once as is and once flushing each file to disk before the delete (as vrlmail does),
#         then mpop (the established fetcher) delivering the raw messages into a Maildir
#   big   one message with a 50 MiB attachment, fetched and sent: MB/s and peak memory
# The fetched files go to BENCH_OUT_DIR (default: a folder on /dev/shm when it is tmpfs, else the
# work folder). On an ext4 without a journal, creating a file right after thousands were deleted
# scans the recently freed inodes (up to minutes after the deletion), which the benchmark's own
# resets cause; on tmpfs every client pays only for its own work. The filesystem is printed.
# usage: bench/bench_mailservers.sh BUILD_DIR
# Every figure is printed on its own line as "name: value unit". Rates are the median of
# BENCH_ROUNDS rounds (default 3); BENCH_MESSAGES (default 1000), BENCH_BIG_MIB (default 50).
set -euo pipefail
build=$(cd "${1:?usage: bench_mailservers.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
vrlmail=$build/bin/vrlmail
harness=$here/../scripts/mailservers.sh
py=/usr/bin/python3
helper_py=$here/bench_mailservers.py
rounds=${BENCH_ROUNDS:-3}
n=${BENCH_MESSAGES:-1000}
big=${BENCH_BIG_MIB:-50}
limit=900  # seconds any one step may take

[ -x "$vrlmail" ] || { echo "bench_mailservers: no $vrlmail (build the vrlmail target)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "bench_mailservers: must run as root (private Postfix and Dovecot)" >&2; exit 1; }

work_prefix=vrl-bench
# shellcheck source=bench/servers_session.sh
source "$here/servers_session.sh"

helper() { run "$py" "$helper_py" "$@"; }
stat_field() { tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2; exit }'; }  # key=value
if [ -n "${BENCH_OUT_DIR:-}" ]; then
  outbase=$(mktemp -d "$BENCH_OUT_DIR/vrl-bench-out.XXXXXX")
elif [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
  outbase=$(mktemp -d /dev/shm/vrl-bench-out.XXXXXX)
else
  outbase=$work/files
  mkdir -p "$outbase"
fi
trap 'rm -rf "$outbase"; cleanup' EXIT
echo "fetched_files_filesystem: $(stat -f -c %T "$outbase")"
reset_mailbox() { bash "$harness" reset "$servers"; rm -rf "$outbase/out"; mkdir "$outbase/out"; }
now() { date +%s.%N; }
wait_delivered() { helper wait "$VRL_MAILDIR" "$servers/spool" "$1" "$limit" >/dev/null; }
die() { echo "bench_mailservers: $*" >&2; bash "$harness" logs "$servers" >&2 || true; exit 1; }

printf 'A small message for the benchmark.\nSecond line of text.\n' >"$work/body.txt"
send_args=(send --host "$VRL_MAIL_HOST" --port "$VRL_SMTP_PORT" --from bench@localhost
           --to "$VRL_MAIL_ADDRESS" --subject "bench message" --text-file "$work/body.txt"
           --timeout 60 --quiet --stats --security none)
fetch_args=(fetch --host "$VRL_MAIL_HOST" --port "$VRL_POP3_PORT" --user "$VRL_MAIL_USER"
            --password-file "$VRL_MAIL_PASS_FILE" --dir "$outbase/out" --timeout 60 --stats
            --security none)  # in clear text, as poplib and mpop are here

# --- SMTP: N small messages on one connection
smtp_v=() smtp_p=()
for _ in $(seq "$rounds"); do
  reset_mailbox
  out=$(run "$vrlmail" "${send_args[@]}" --count "$n") || die "vrlmail send --count $n failed: $out"
  echo "$out" | grep -qx "sent: $n of $n" || die "vrlmail sent fewer than $n: $out"
  smtp_v+=("$(echo "$out" | field rate)")
  wait_delivered "$n"
  reset_mailbox
  out=$(helper smtp "$VRL_MAIL_HOST" "$VRL_SMTP_PORT" "$n" "$work/body.txt") || die "smtplib failed"
  smtp_p+=("$(calc "$n / $(echo "$out" | field seconds)")")
  wait_delivered "$n"
done
v=$(echo "${smtp_v[*]}" | median); p=$(echo "${smtp_p[*]}" | median)
echo "smtp_send_${n}_vrlmail: $v messages/s"
echo "smtp_send_${n}_python_smtplib: $p messages/s"
echo "smtp_send_${n}_ratio_vrlmail_to_python: $(calc "$v / $p" 2) x"

# --- POP3: N small messages with one 2 KB attachment each
# vrlmail and mpop are both timed from start to exit (the wall clock); poplib by its own clock.
pop_v=() pop_p=() pop_d=() pop_m=() pop_vm=()
for _ in $(seq "$rounds"); do
  reset_mailbox
  helper fill "$VRL_MAILDIR" "$n" 2048
  start=$(now)
  err=$(run "$vrlmail" "${fetch_args[@]}" 2>&1 >/dev/null) || die "vrlmail fetch failed: $err"
  end=$(now)
  stats=$(echo "$err" | grep 'stats:')
  [ "$(echo "$stats" | stat_field messages)" = "$n" ] || die "vrlmail fetched fewer than $n: $stats"
  [ "$(ls "$outbase/out" | wc -l)" -eq "$n" ] || die "vrlmail saved $(ls "$outbase/out" | wc -l) of $n attachments"
  pop_v+=("$(calc "$n / $(echo "$stats" | stat_field seconds)")")
  vm=$(calc "$n / ($end - $start)")
  reset_mailbox
  helper fill "$VRL_MAILDIR" "$n" 2048
  out=$(helper pop3 "$VRL_MAIL_HOST" "$VRL_POP3_PORT" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE" "$outbase/out") ||
    die "poplib failed"
  [ "$(echo "$out" | field attachments)" = "$n" ] || die "poplib saved fewer than $n"
  pop_p+=("$(calc "$n / $(echo "$out" | field seconds)")")
  # The same with each file flushed to disk before its message is deleted, as vrlmail does.
  reset_mailbox
  helper fill "$VRL_MAILDIR" "$n" 2048
  out=$(helper pop3 "$VRL_MAIL_HOST" "$VRL_POP3_PORT" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE" "$outbase/out" --durable) ||
    die "poplib failed"
  [ "$(echo "$out" | field attachments)" = "$n" ] || die "poplib saved fewer than $n"
  pop_d+=("$(calc "$n / $(echo "$out" | field seconds)")")
  # mpop, the established fetcher: raw messages into a Maildir (no parsing, no attachment files).
  reset_mailbox
  helper fill "$VRL_MAILDIR" "$n" 2048
  rm -rf "$outbase/mpop" && mkdir -p "$outbase/mpop/cur" "$outbase/mpop/new" "$outbase/mpop/tmp"
  start=$(now)
  run mpop --host="$VRL_MAIL_HOST" --port="$VRL_POP3_PORT" --tls=off --auth=user --user="$VRL_MAIL_USER" \
    --passwordeval="cat $VRL_MAIL_PASS_FILE" --delivery="maildir,$outbase/mpop" --keep=off --only-new=off \
    --received-header=off -q || die "mpop failed"
  end=$(now)
  [ "$(ls "$outbase/mpop/new" | wc -l)" -eq "$n" ] || die "mpop delivered fewer than $n"
  pop_m+=("$(calc "$n / ($end - $start)")")
  pop_vm+=("$(calc "$vm / ($n / ($end - $start))" 2)")
done
v=$(echo "${pop_v[*]}" | median); p=$(echo "${pop_p[*]}" | median); d=$(echo "${pop_d[*]}" | median)
m=$(echo "${pop_m[*]}" | median)
echo "pop3_fetch_${n}_vrlmail: $v messages/s"
echo "pop3_fetch_${n}_python_poplib: $p messages/s"
echo "pop3_fetch_${n}_ratio_vrlmail_to_python: $(calc "$v / $p" 2) x"
echo "pop3_fetch_${n}_python_poplib_fsync: $d messages/s"
echo "pop3_fetch_${n}_ratio_vrlmail_to_python_fsync: $(calc "$v / $d" 2) x"
echo "pop3_fetch_${n}_mpop: $m messages/s"
# The ratio of each round (both wall clock), and their median: one slow moment of the machine
# then shows as one outlying round instead of moving both medians apart.
echo "pop3_fetch_${n}_ratio_vrlmail_to_mpop_rounds: ${pop_vm[*]}"
echo "pop3_fetch_${n}_ratio_vrlmail_to_mpop: $(echo "${pop_vm[*]}" | median) x"

# --- one message with a big attachment, fetched
reset_mailbox
out=$(helper big "$VRL_MAILDIR" "$big")
msg_bytes=$(echo "$out" | field message_bytes); want=$(echo "$out" | field sha256)
err=$(run "$vrlmail" "${fetch_args[@]}" 2>&1 >/dev/null) || die "vrlmail fetch of the big message failed: $err"
stats=$(echo "$err" | grep 'stats:')
got=$(helper sha "$outbase/out/big.bin" | field sha256)
[ "$got" = "$want" ] || die "the fetched ${big} MiB attachment differs"
secs=$(echo "$stats" | stat_field seconds); rss=$(echo "$stats" | stat_field peak_rss_kb)
echo "pop3_fetch_${big}mib_vrlmail: $(calc "$big * 1.048576 / $secs") MB/s"
echo "pop3_fetch_${big}mib_vrlmail_peak_rss: $(calc "$rss / 1024") MiB"
echo "pop3_fetch_${big}mib_message_size: $(calc "$msg_bytes / 1048576") MiB"
echo "pop3_fetch_${big}mib_peak_rss_to_message_size: $(calc "$rss * 1024 / $msg_bytes" 2) x"
reset_mailbox
helper big "$VRL_MAILDIR" "$big" >/dev/null
out=$(helper pop3 "$VRL_MAIL_HOST" "$VRL_POP3_PORT" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE" "$outbase/out") ||
  die "poplib fetch of the big message failed"
echo "pop3_fetch_${big}mib_python_poplib: $(calc "$big * 1.048576 / $(echo "$out" | field seconds)") MB/s"
echo "pop3_fetch_${big}mib_python_poplib_peak_rss: $(calc "$(echo "$out" | field peak_rss_kb) / 1024") MiB"

# --- one message with a big attachment, sent
want=$(helper make-file "$work/big.bin" "$big" | field sha256)
reset_mailbox
out=$(run "$vrlmail" "${send_args[@]}" --attach "$work/big.bin") || die "vrlmail send of ${big} MiB failed: $out"
wait_delivered 1
got=$(helper delivered-sha "$VRL_MAILDIR" | field sha256)
[ "$got" = "$want" ] || die "the sent ${big} MiB attachment arrived different"
secs=$(echo "$out" | field elapsed); rss=$(echo "$out" | field rss_peak)
echo "smtp_send_${big}mib_vrlmail: $(calc "$big * 1.048576 / $secs") MB/s"
echo "smtp_send_${big}mib_vrlmail_peak_rss: $(calc "$rss / 1024") MiB"
reset_mailbox
out=$(helper smtp "$VRL_MAIL_HOST" "$VRL_SMTP_PORT" 1 "$work/body.txt" "$work/big.bin") || die "smtplib big send failed"
wait_delivered 1
echo "smtp_send_${big}mib_python_smtplib: $(calc "$big * 1.048576 / $(echo "$out" | field seconds)") MB/s"
echo "smtp_send_${big}mib_python_smtplib_peak_rss: $(calc "$(echo "$out" | field peak_rss_kb) / 1024") MiB"
