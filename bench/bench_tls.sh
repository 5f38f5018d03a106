#!/usr/bin/env bash
# What TLS costs on the wire: one message with a 50 MiB attachment sent with vrlmail send and
# fetched with vrlmail fetch against private Postfix and Dovecot on loopback
# (scripts/mailservers.sh), in clear text, with STARTTLS (STLS for POP3) and with implicit TLS,
# each beside Python's smtplib and poplib + email doing the same in the same round:
#   send   the submission port without and with STARTTLS, then the SMTPS port; all log in
#   fetch  the POP3 port without and with STLS, then the POP3S port; the attachment is saved
#          and flushed to disk before the delete, as vrlmail does
# Certificates are checked against the servers' test CA. For each way: MB/s of the attachment,
# the peak resident memory (VmHWM as vrlmail reports it, ru_maxrss of the Python process), the
# TLS to clear-text ratio and vrlmail to Python.
# usage: bench/bench_tls.sh BUILD_DIR
# Every figure is printed on its own line as "name: value unit". Figures are the median of
# BENCH_ROUNDS rounds (default 3); BENCH_BIG_MIB (default 50).
set -euo pipefail
build=$(cd "${1:?usage: bench_tls.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
vrlmail=$build/bin/vrlmail
harness=$here/../scripts/mailservers.sh
py=/usr/bin/python3
rounds=${BENCH_ROUNDS:-3}
big=${BENCH_BIG_MIB:-50}
limit=900  # seconds any one step may take
modes=(clear starttls tls)

[ -x "$vrlmail" ] || { echo "bench_tls: no $vrlmail (build the vrlmail target)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "bench_tls: must run as root (private Postfix and Dovecot)" >&2; exit 1; }

work_prefix=vrl-bench-tls
# shellcheck source=bench/servers_session.sh
source "$here/servers_session.sh"

servers_py() { run "$py" "$here/bench_mailservers.py" "$@"; }
tls_py() { run "$py" "$here/bench_tls.py" "$@"; }
stat_field() { tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2; exit }'; }  # key=value
reset_mailbox() { bash "$harness" reset "$servers"; rm -rf "$work/out"; mkdir "$work/out"; }
die() { echo "bench_tls: $*" >&2; bash "$harness" logs "$servers" >&2 || true; exit 1; }

# The port and vrlmail's security options of a mode.
port_of() {  # port_of smtp|pop3 MODE
  case $1-$2 in
    smtp-tls) echo "$VRL_SMTPS_PORT" ;;
    smtp-*) echo "$VRL_SUBMISSION_PORT" ;;
    pop3-tls) echo "$VRL_POP3S_PORT" ;;
    pop3-*) echo "$VRL_POP3_PORT" ;;
  esac
}
security_of() {  # sets sec=(...) for MODE
  if [ "$1" = clear ]; then sec=(--security none); else sec=(--security "$1" --ca-file "$VRL_TLS_CA"); fi
}

# Figures of each round: rate[KEY] and rss[KEY] hold one value per round, KEY = way.program.mode.
declare -A rate rss
keep() { rate[$1]+=" $(calc "$big * 1.048576 / $2" 2)"; rss[$1]+=" $(calc "$3 / 1024")"; }  # KEY SECONDS PEAK_KB

# The attachment to send, and the message to fetch (written once, copied into the Maildir).
want=$(servers_py make-file "$work/big.bin" "$big" | field sha256)
printf 'One big attachment.\n' >"$work/body.txt"
reset_mailbox
fetch_want=$(servers_py big "$VRL_MAILDIR" "$big" | field sha256)
cp "$(find "$VRL_MAILDIR/new" -type f | head -n 1)" "$work/big.eml"
put_big() {
  local name
  name="$(date +%s).M$RANDOM.vrlbenchtls"
  install -o nobody -g nogroup -m 600 "$work/big.eml" "$VRL_MAILDIR/tmp/$name"
  mv "$VRL_MAILDIR/tmp/$name" "$VRL_MAILDIR/new/$name"
}
delivered() {  # the one message arrived with the attachment intact
  servers_py wait "$VRL_MAILDIR" "$servers/spool" 1 "$limit" >/dev/null || die "$1: nothing delivered"
  [ "$(servers_py delivered-sha "$VRL_MAILDIR" | field sha256)" = "$want" ] || die "$1: the attachment arrived different"
}
fetched() {  # the attachment was saved intact
  [ "$(servers_py sha "$work/out/big.bin" | field sha256)" = "$fetch_want" ] || die "$1: the saved attachment differs"
}

login=(--user "$VRL_MAIL_USER" --password-file "$VRL_MAIL_PASS_FILE")

for _ in $(seq "$rounds"); do
  for m in "${modes[@]}"; do
    security_of "$m"
    port=$(port_of smtp "$m")
    reset_mailbox
    out=$(run "$vrlmail" send --host "$VRL_MAIL_HOST" --port "$port" "${sec[@]}" "${login[@]}" \
      --from bench@localhost --to "$VRL_MAIL_ADDRESS" --subject "bench message" --text-file "$work/body.txt" \
      --attach "$work/big.bin" --timeout 60 --stats) || die "vrlmail send ($m) failed: $(echo "$out" | tail -n 5)"
    if [ "$m" != clear ]; then echo "$out" | grep -q 'TLS: ' || die "vrlmail send ($m) reported no TLS session"; fi
    delivered "vrlmail send ($m)"
    keep "send.vrlmail.$m" "$(echo "$out" | field elapsed)" "$(echo "$out" | field rss_peak)"

    reset_mailbox
    out=$(tls_py smtp "$m" "$VRL_MAIL_HOST" "$port" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE" "$VRL_TLS_CA" \
      "$work/body.txt" "$work/big.bin") || die "smtplib ($m) failed"
    delivered "smtplib ($m)"
    keep "send.python.$m" "$(echo "$out" | field seconds)" "$(echo "$out" | field peak_rss_kb)"
  done

  for m in "${modes[@]}"; do
    port=$(port_of pop3 "$m")
    security_of "$m"
    reset_mailbox
    put_big
    err=$(run "$vrlmail" fetch --host "$VRL_MAIL_HOST" --port "$port" "${sec[@]}" "${login[@]}" \
      --dir "$work/out" --timeout 60 --stats 2>&1 >/dev/null) || die "vrlmail fetch ($m) failed: $err"
    stats=$(echo "$err" | grep 'stats:')
    fetched "vrlmail fetch ($m)"
    keep "fetch.vrlmail.$m" "$(echo "$stats" | stat_field seconds)" "$(echo "$stats" | stat_field peak_rss_kb)"

    reset_mailbox
    put_big
    out=$(tls_py pop3 "$m" "$VRL_MAIL_HOST" "$port" "$VRL_MAIL_USER" "$VRL_MAIL_PASS_FILE" "$VRL_TLS_CA" \
      "$work/out") || die "poplib ($m) failed"
    fetched "poplib ($m)"
    keep "fetch.python.$m" "$(echo "$out" | field seconds)" "$(echo "$out" | field peak_rss_kb)"
  done
done

# name: value unit for every way, program and mode; ratios from the medians.
report() {  # report WAY PREFIX PYTHON_NAME
  local way=$1 prefix=$2 pyname=$3 prog name key v m
  for prog in vrlmail python; do
    name=$prog; [ "$prog" = python ] && name=$pyname
    for m in "${modes[@]}"; do
      key=$way.$prog.$m
      [ -n "${rate[$key]:-}" ] || continue
      v=$(echo "${rate[$key]}" | median)
      echo "${prefix}_${m}_${name}: $v MB/s"
      echo "${prefix}_${m}_${name}_peak_rss: $(echo "${rss[$key]}" | median) MiB"
      if [ "$m" != clear ]; then
        echo "${prefix}_${m}_${name}_to_clear: $(calc "$v / $(echo "${rate[$way.$prog.clear]}" | median)" 2) x"
      fi
    done
  done
  for m in "${modes[@]}"; do
    [ -n "${rate[$way.vrlmail.$m]:-}" ] || continue
    v=$(echo "${rate[$way.vrlmail.$m]}" | median)
    echo "${prefix}_${m}_ratio_vrlmail_to_python: $(calc "$v / $(echo "${rate[$way.python.$m]}" | median)" 2) x"
  done
}
report send "smtp_send_${big}mib" python_smtplib
report fetch "pop3_fetch_${big}mib" python_poplib
