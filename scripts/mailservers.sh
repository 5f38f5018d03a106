#!/usr/bin/env bash
# Private Postfix (SMTP, submission with STARTTLS, SMTPS) and Dovecot (POP3 with STLS, POP3S, IMAP
# with STARTTLS, IMAPS) on
# 127.0.0.1 for the interoperation tests and the real-server benchmarks. TLS uses a test CA made
# at start (DIR/tls/ca.crt); the plain SMTP port offers no STARTTLS.
#
#   mailservers.sh start [DIR]   make DIR (a new temp folder when omitted), write the configs, start
#                                both servers on free loopback ports; prints DIR on the last line
#   mailservers.sh stop DIR      stop both servers by their pid files and wait until the ports are free
#   mailservers.sh status DIR    exit 0 when both servers run and listen
#   mailservers.sh env DIR       shell assignments for the clients (VRL_SMTP_PORT=..., ...)
#   mailservers.sh reset DIR     empty the Maildir and drop everything still queued
#   mailservers.sh logs DIR      print the server logs (for failure reports)
#
# Everything the servers write lives under DIR: configs, queue, data, Maildir, logs, pid files
# and sockets. The machine's own mail configuration (/etc/postfix/main.cf, /etc/dovecot, the
# system spool) is neither read for settings nor written, no user is added, and both servers
# refuse anything that would leave the host. Run as root (Postfix's master and Dovecot need it).
#
# Environment read by start: VRL_MAIL_USER (default mailtest), VRL_MAIL_PASS (default
# MailTest123), VRL_MAIL_TIMEOUT (seconds to wait for the listeners, default 20).
set -euo pipefail

PY=/usr/bin/python3
POSTFIX_MASTER=$(postconf -dh daemon_directory 2>/dev/null || echo /usr/lib/postfix/sbin)/master
DOVECOT_BIN=$(command -v dovecot || echo /usr/sbin/dovecot)
# Delivered mail belongs to this unprivileged account for both servers (no user of our own).
MAIL_UID=$(id -u nobody)
MAIL_GID=$(getent group nogroup | cut -d: -f3)

die() { echo "mailservers: $*" >&2; exit 1; }
log() { echo "mailservers: $*" >&2; }

need_dir() {
  [ -n "${1:-}" ] || die "missing DIR"
  [ -d "$1" ] || die "no such folder: $1"
  (cd "$1" && pwd)
}

# Free TCP ports on 127.0.0.1: random candidates below the ephemeral range that can be bound
# right now (a wildcard listener on the same port makes the bind fail too).
free_ports() {
  "$PY" - "$1" <<'EOF'
import random, socket, sys
want = int(sys.argv[1]); rng = random.SystemRandom(); found = []
for _ in range(2000):
    if len(found) == want:
        break
    p = rng.randrange(20000, 32000)
    if p in found:
        continue
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", p))
        found.append(p)
    except OSError:
        pass
    finally:
        s.close()
if len(found) != want:
    sys.exit("no free ports found")
print(" ".join(map(str, found)))
EOF
}

listening() {  # listening PORT: something listens on 127.0.0.1:PORT
  ss -Hltn "sport = :$1" 2>/dev/null | grep -q "127.0.0.1:$1"
}
any_listening() {  # any_listening PORT: anything listens on PORT at any address
  ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
}

# Pid of a running server of ours, or nothing: the pid file must name a live process running the
# expected program that was started for this folder (never trust a stale pid file).
postfix_pid() {
  local d=$1 pid
  pid=$(tr -d ' \n' 2>/dev/null <"$d/spool/pid/master.pid") || return 0
  [ -n "$pid" ] && [ -d "/proc/$pid" ] || return 0
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$POSTFIX_MASTER" ] || return 0
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "MAIL_CONFIG=$d/postfix" || return 0
  echo "$pid"
}
dovecot_pid() {
  local d=$1 pid
  pid=$(tr -d ' \n' 2>/dev/null <"$d/dovecot/run/master.pid") || return 0
  [ -n "$pid" ] && [ -d "/proc/$pid" ] || return 0
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$DOVECOT_BIN")" ] || return 0
  tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF "$d/dovecot/dovecot.conf" || return 0
  echo "$pid"
}

read_ports() {  # sets SMTP_PORT SUBMISSION_PORT POP3_PORT SMTPS_PORT POP3S_PORT IMAP_PORT IMAPS_PORT from DIR/ports
  [ -f "$1/ports" ] || die "$1 holds no mail servers (no ports file)"
  # shellcheck disable=SC1091
  . "$1/ports"
}

show_logs() {
  local d=$1 f
  for f in "$d/log/postfix.log" "$d/log/postfix-start.out" "$d/log/dovecot.log" "$d/log/dovecot-start.out"; do
    [ -s "$f" ] || continue
    echo "----- $f (last 40 lines)" >&2
    tail -n 40 "$f" >&2
  done
}

write_configs() {
  local d=$1 user=$2 pass=$3 hash
  install -d -m 755 "$d/postfix" "$d/dovecot" "$d/log" "$d/mail"
  install -d -m 700 "$d/secret"
  make_certificates "$d"
  # Queue and data folders: Postfix's own start-up makes the subfolders with their owners.
  install -d -m 755 "$d/spool"
  install -d -m 700 -o postfix "$d/data"
  install -d -m 700 -o "$MAIL_UID" -g "$MAIL_GID" "$d/mail/$user" "$d/mail/$user/Maildir" \
    "$d/mail/$user/Maildir/cur" "$d/mail/$user/Maildir/new" "$d/mail/$user/Maildir/tmp"
  ( umask 077; printf '%s' "$pass" >"$d/secret/password" )

  cat >"$d/postfix/main.cf" <<EOF
# Private loopback Postfix, written by mailservers.sh. Nothing leaves this host.
compatibility_level = 3.6
queue_directory = $d/spool
data_directory = $d/data
mail_owner = postfix
setgid_group = postdrop
myhostname = localhost
mydomain = localdomain
myorigin = localhost
mydestination =
local_transport = error:5.1.1 local delivery disabled (test server)
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
# every address outside the virtual domain is refused at RCPT time, never queued
default_transport = error:5.7.1 outbound mail disabled (test server)
relay_transport = error:5.7.1 outbound mail disabled (test server)
relay_domains =
smtpd_relay_restrictions = permit_mynetworks, permit_sasl_authenticated, reject_unauth_destination
# delivery into one Maildir without system users
virtual_mailbox_domains = localhost example.com
virtual_mailbox_base = $d/mail
virtual_mailbox_maps = texthash:$d/postfix/vmailbox
virtual_uid_maps = static:$MAIL_UID
virtual_gid_maps = static:$MAIL_GID
# room for the 50 MB benchmark attachments (base64 makes them about 68 MB)
message_size_limit = 209715200
mailbox_size_limit = 0
virtual_mailbox_limit = 0
alias_maps =
alias_database =
biff = no
append_dot_mydomain = no
smtpd_banner = \$myhostname ESMTP vrl-test
maillog_file = $d/log/postfix.log
maillog_file_prefixes = $d/log
# TLS: offered on the submission port (STARTTLS) and the SMTPS port only.
smtpd_tls_cert_file = $d/tls/server.crt
smtpd_tls_key_file = $d/tls/server.key
smtpd_tls_security_level = none
smtp_tls_security_level = none
EOF
  # Two addresses of one mailbox: the agent's syntax check wants a known top-level domain.
  printf '%s@localhost %s/Maildir/\n%s@example.com %s/Maildir/\n' "$user" "$user" "$user" "$user" \
    >"$d/postfix/vmailbox"

  # Submission and SMTPS: only clients that logged in (Dovecot checks the password) may send.
  local sasl="  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_type=dovecot
  -o smtpd_sasl_path=private/auth
  -o smtpd_sasl_security_options=noanonymous
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject"
  cat >"$d/postfix/master.cf" <<EOF
# Private loopback Postfix services, written by mailservers.sh; no chroot anywhere.
127.0.0.1:$SMTP_PORT inet n   -       n       -       -       smtpd
127.0.0.1:$SUBMISSION_PORT inet n   -       n       -       -       smtpd
  -o syslog_name=postfix/submission
  -o smtpd_tls_security_level=may
$sasl
127.0.0.1:$SMTPS_PORT inet n   -       n       -       -       smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
$sasl
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF

  hash=$(doveadm -c /dev/null pw -s SHA512-CRYPT -p "$pass")
  printf '%s:%s:%s:%s::%s::\n' "$user" "$hash" "$MAIL_UID" "$MAIL_GID" "$d/mail/$user" >"$d/dovecot/users"
  chgrp dovecot "$d/dovecot/users"
  chmod 640 "$d/dovecot/users"

  cat >"$d/dovecot/dovecot.conf" <<EOF
# Private loopback POP3 and IMAP Dovecot, written by mailservers.sh.
protocols = pop3 imap
listen = 127.0.0.1
base_dir = $d/dovecot/run
state_dir = $d/dovecot/state
instance_name = $(basename "$d" | sed 's/^\(vrl-\)\{0,1\}/vrl-/')
log_path = $d/log/dovecot.log
# USER/PASS without TLS: loopback tests only
disable_plaintext_auth = no
auth_mechanisms = plain login
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
# STLS/STARTTLS on the POP3 and IMAP ports, implicit TLS on POP3S and IMAPS, with the test CA's
# certificate.
ssl = yes
ssl_cert = <$d/tls/server.crt
ssl_key = <$d/tls/server.key

passdb {
  driver = passwd-file
  args = scheme=SHA512-CRYPT username_format=%n $d/dovecot/users
}
userdb {
  driver = passwd-file
  args = username_format=%n $d/dovecot/users
}

service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $POP3_PORT
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $POP3S_PORT
    ssl = yes
  }
}

service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $IMAP_PORT
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = $IMAPS_PORT
    ssl = yes
  }
}

# No growing per-address delay after failed logins (all clients are 127.0.0.1, so one negative
# test would slow every later login); each failure still costs auth_failure_delay (2 s).
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}

# SASL for Postfix's submission service (smtpd_sasl_path = private/auth)
service auth {
  unix_listener $d/spool/private/auth {
    mode = 0660
    user = postfix
    group = postfix
  }
}
EOF
  install -d -m 755 "$d/dovecot/state"
  # Postfix waits until a freshly written config or map file is two seconds old (an editor
  # might still be writing it); these are complete, so date them back.
  touch -d '1 minute ago' "$d/postfix/main.cf" "$d/postfix/master.cf" "$d/postfix/vmailbox"
}

# A test CA and a server certificate for localhost and 127.0.0.1 (EC keys: quick to make).
make_certificates() {
  local t=$1/tls
  install -d -m 755 "$t"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj "/CN=Vorlane Test CA" -keyout "$t/ca.key" -out "$t/ca.crt" >/dev/null 2>&1 || die "cannot make the test CA"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
    -keyout "$t/server.key" -out "$t/server.csr" >/dev/null 2>&1 || die "cannot make the server key"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$t/san.ext"
  openssl x509 -req -in "$t/server.csr" -CA "$t/ca.crt" -CAkey "$t/ca.key" -CAcreateserial -days 30 \
    -extfile "$t/san.ext" -out "$t/server.crt" >/dev/null 2>&1 || die "cannot sign the server certificate"
  chmod 644 "$t/server.key" "$t/server.crt" "$t/ca.crt"
}

wait_listening() {  # wait_listening TIMEOUT PORT...: all ports listen on 127.0.0.1 in time
  local t=$1 i=0 p ok
  shift
  while :; do
    ok=1
    for p in "$@"; do listening "$p" || { ok=0; break; }; done
    [ $ok -eq 1 ] && return 0
    i=$((i + 1))
    [ $i -ge $((t * 20)) ] && return 1
    sleep 0.05
  done
}

cmd_start() {
  local d user pass timeout
  if [ -n "${1:-}" ]; then
    # Only a new or empty folder, or one this script set up before: start changes its mode.
    if [ -d "$1" ] && [ ! -f "$1/ports" ] && [ -n "$(ls -A "$1")" ]; then
      die "$1 is neither empty nor a mail-server folder"
    fi
    mkdir -p "$1"
    d=$(cd "$1" && pwd)
  else
    d=$(mktemp -d "${TMPDIR:-/tmp}/vrl-mailservers.XXXXXX")
  fi
  [ "$(id -u)" -eq 0 ] || die "must run as root (Postfix's master and Dovecot need it)"
  user=${VRL_MAIL_USER:-mailtest}
  pass=${VRL_MAIL_PASS:-MailTest123}
  timeout=${VRL_MAIL_TIMEOUT:-20}
  case "$user" in *[!a-z0-9_.-]*|"") die "VRL_MAIL_USER must be lower-case letters, digits, '_', '.', '-'";; esac
  case "$pass" in *$'\n'*|*$'\r'*|"") die "VRL_MAIL_PASS must be one non-empty line";; esac
  case "$d" in *[[:space:]]*) die "folder name must not hold spaces: $d";; esac
  # Unix socket paths are limited to 107 bytes; the longest is Dovecot's under run/.
  [ ${#d} -le 60 ] || die "folder path too long for unix sockets (max 60 characters): $d"

  if [ -f "$d/ports" ] && [ -n "$(postfix_pid "$d")" ] && [ -n "$(dovecot_pid "$d")" ]; then
    read_ports "$d"
    # A folder of an older version has no IMAP ports: it starts afresh.
    if wait_listening 1 "$SMTP_PORT" "$SUBMISSION_PORT" "$POP3_PORT" "$SMTPS_PORT" "$POP3S_PORT" \
         "${IMAP_PORT:-0}" "${IMAPS_PORT:-0}"; then
      log "already running in $d"
      echo "$d"
      return 0
    fi
  fi
  # Half-started or stale: stop what is ours and start afresh with new ports.
  [ -f "$d/ports" ] && cmd_stop "$d" >/dev/null

  # The servers' unprivileged processes must reach their folders inside DIR.
  chmod 755 "$d"
  read -r SMTP_PORT SUBMISSION_PORT POP3_PORT SMTPS_PORT POP3S_PORT IMAP_PORT IMAPS_PORT < <(free_ports 7)
  printf 'SMTP_PORT=%s\nSUBMISSION_PORT=%s\nPOP3_PORT=%s\nSMTPS_PORT=%s\nPOP3S_PORT=%s\nIMAP_PORT=%s\nIMAPS_PORT=%s\nMAIL_USER=%s\n' \
    "$SMTP_PORT" "$SUBMISSION_PORT" "$POP3_PORT" "$SMTPS_PORT" "$POP3S_PORT" "$IMAP_PORT" "$IMAPS_PORT" "$user" >"$d/ports"
  write_configs "$d" "$user" "$pass"

  # Postfix with a private configuration folder: as root 'postfix -c DIR' (and 'postsuper -c
  # DIR') needs no alternate_config_directories entry in the machine's main.cf; only the set-gid
  # sendmail/postdrop path would, and the tests never use it. Start-up runs post-install
  # create-missing, which makes the queue folders under DIR/spool with their owners.
  if ! postfix -c "$d/postfix" start </dev/null >"$d/log/postfix-start.out" 2>&1; then
    show_logs "$d"; cmd_stop "$d" >/dev/null 2>&1 || true
    die "postfix did not start"
  fi
  # Dovecot second: its auth socket goes into Postfix's queue folder (smtpd opens it per session).
  doveconf -c "$d/dovecot/dovecot.conf" -n >/dev/null 2>"$d/log/dovecot-start.out" ||
    { show_logs "$d"; cmd_stop "$d" >/dev/null 2>&1 || true; die "dovecot configuration rejected"; }
  if ! "$DOVECOT_BIN" -c "$d/dovecot/dovecot.conf" </dev/null >>"$d/log/dovecot-start.out" 2>&1; then
    show_logs "$d"; cmd_stop "$d" >/dev/null 2>&1 || true
    die "dovecot did not start"
  fi
  if ! wait_listening "$timeout" "$SMTP_PORT" "$SUBMISSION_PORT" "$POP3_PORT" "$SMTPS_PORT" "$POP3S_PORT" \
       "$IMAP_PORT" "$IMAPS_PORT"; then
    ss -Hltn >&2 || true
    show_logs "$d"; cmd_stop "$d" >/dev/null 2>&1 || true
    die "ports $SMTP_PORT/$SUBMISSION_PORT/$POP3_PORT not all listening after ${timeout}s"
  fi
  local i=0
  until [ -S "$d/spool/private/auth" ]; do
    i=$((i + 1))
    [ $i -ge $((timeout * 20)) ] && { show_logs "$d"; cmd_stop "$d" >/dev/null 2>&1 || true; die "no dovecot auth socket"; }
    sleep 0.05
  done
  log "running in $d (smtp $SMTP_PORT, submission $SUBMISSION_PORT, smtps $SMTPS_PORT, pop3 $POP3_PORT, pop3s $POP3S_PORT, imap $IMAP_PORT, imaps $IMAPS_PORT)"
  echo "$d"
}

cmd_stop() {
  local d pids="" pid i
  d=$(need_dir "${1:-}")
  pid=$(postfix_pid "$d"); [ -n "$pid" ] && pids="$pids $pid"
  pid=$(dovecot_pid "$d"); [ -n "$pid" ] && pids="$pids $pid"
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  # Both masters end their children; wait until the processes are gone and the ports free.
  local ports=""
  if [ -f "$d/ports" ]; then read_ports "$d"; ports="$SMTP_PORT $SUBMISSION_PORT $POP3_PORT ${SMTPS_PORT:-} ${POP3S_PORT:-} ${IMAP_PORT:-} ${IMAPS_PORT:-}"; fi
  for i in $(seq 1 100); do
    local busy=0
    for pid in $pids; do
      [ -d "/proc/$pid" ] && ! grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null && busy=1
    done
    for p in $ports; do listening "$p" && busy=1; done
    [ $busy -eq 0 ] && break
    [ "$i" -eq 60 ] && for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
    sleep 0.1
  done
  for p in $ports; do
    listening "$p" && die "port $p still listening after stop"
  done
  log "stopped ($d)"
}

cmd_status() {
  local d pp dp
  d=$(need_dir "${1:-}")
  read_ports "$d"
  pp=$(postfix_pid "$d"); dp=$(dovecot_pid "$d")
  echo "postfix: ${pp:-not running}; dovecot: ${dp:-not running}"
  [ -n "$pp" ] && [ -n "$dp" ] && listening "$SMTP_PORT" && listening "$SUBMISSION_PORT" && listening "$POP3_PORT"
}

cmd_env() {  # one KEY=value a line, values quoted for the shell (eval "$(mailservers.sh env DIR)")
  local d
  d=$(need_dir "${1:-}")
  read_ports "$d"
  printf 'VRL_MAIL_DIR=%q\n' "$d"
  printf 'VRL_MAIL_HOST=%q\n' 127.0.0.1
  printf 'VRL_SMTP_PORT=%q\n' "$SMTP_PORT"
  printf 'VRL_SUBMISSION_PORT=%q\n' "$SUBMISSION_PORT"
  printf 'VRL_POP3_PORT=%q\n' "$POP3_PORT"
  printf 'VRL_SMTPS_PORT=%q\n' "$SMTPS_PORT"
  printf 'VRL_POP3S_PORT=%q\n' "$POP3S_PORT"
  printf 'VRL_IMAP_PORT=%q\n' "$IMAP_PORT"
  printf 'VRL_IMAPS_PORT=%q\n' "$IMAPS_PORT"
  printf 'VRL_TLS_CA=%q\n' "$d/tls/ca.crt"
  printf 'VRL_MAIL_USER=%q\n' "$MAIL_USER"
  printf 'VRL_MAIL_PASS=%q\n' "$(cat "$d/secret/password")"
  printf 'VRL_MAIL_PASS_FILE=%q\n' "$d/secret/password"
  printf 'VRL_MAIL_ADDRESS=%q\n' "$MAIL_USER@localhost"
  printf 'VRL_AGENT_ADDRESS=%q\n' "$MAIL_USER@example.com"
  printf 'VRL_MAILDIR=%q\n' "$d/mail/$MAIL_USER/Maildir"
  printf 'VRL_POSTFIX_CONFIG=%q\n' "$d/postfix"
  printf 'VRL_POSTFIX_LOG=%q\n' "$d/log/postfix.log"
  printf 'VRL_DOVECOT_CONFIG=%q\n' "$d/dovecot/dovecot.conf"
  printf 'VRL_DOVECOT_LOG=%q\n' "$d/log/dovecot.log"
}

cmd_reset() {
  local d md
  d=$(need_dir "${1:-}")
  read_ports "$d"
  # Drop the queue first so nothing is delivered after the Maildir is emptied. Postfix must run:
  # postsuper logs through postlogd.
  postsuper -c "$d/postfix" -d ALL >/dev/null 2>&1 || die "postsuper failed (is postfix running?)"
  md="$d/mail/$MAIL_USER/Maildir"
  find "$md/new" "$md/cur" "$md/tmp" -mindepth 1 -maxdepth 1 -type f -delete
}

cmd_logs() {
  local d
  d=$(need_dir "${1:-}")
  show_logs "$d" 2>&1
}

case "${1:-}" in
  start) cmd_start "${2:-}" ;;
  stop) cmd_stop "${2:-}" ;;
  status) cmd_status "${2:-}" ;;
  env) cmd_env "${2:-}" ;;
  reset) cmd_reset "${2:-}" ;;
  logs) cmd_logs "${2:-}" ;;
  *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
