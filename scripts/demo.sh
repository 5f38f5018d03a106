#!/usr/bin/env bash
# Files become mail and mail becomes files, without anything leaving this machine: installs what
# is missing, builds into build-demo, starts a private Postfix and Dovecot on 127.0.0.1
# (scripts/mailservers.sh), and writes a demo application folder whose profiles send the files of
# two outbound folders to the one test mailbox and fetch them back into an inbound folder. The
# agent runs a cycle every 2 seconds until everything is back (one minute at most), then the log
# and the files on both sides are printed. Exit status 0 when every file came back.
#
# With --console, the console window then opens on the demo folder, on a private session bus
# that starts this build's agent, while the mail servers keep running; closing it ends the demo.
# With --installed, the programs the package installed in /usr/bin run it, and nothing is built.
#
# Run as root (the mail servers need it). VORLANE_DEMO_DIR names the application folder (new or
# empty; default a new folder under /tmp, kept afterwards). VORLANE_DEMO_WAIT shortens the wait
# for the mail to come back (seconds, 1..60). VORLANE_DEMO_CONSOLE_SECONDS closes the console
# after that many seconds.
set -euo pipefail
# Non-ASCII file names print as they are.
export LC_ALL=C.UTF-8
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

die() { echo "demo: $*" >&2; exit 1; }

console=0
installed=0
for arg in "$@"; do
  case "$arg" in
    --console) console=1 ;;
    --installed) installed=1 ;;
    *) die "usage: scripts/demo.sh [--console] [--installed]" ;;
  esac
done
if [ $console -eq 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  die "no display for the console: run it from a desktop session (sudo -E keeps DISPLAY), or under xvfb-run -a"
fi

wait_secs=${VORLANE_DEMO_WAIT:-60}
case "$wait_secs" in ''|*[!0-9]*) die "VORLANE_DEMO_WAIT must be a number of seconds (1..60)";; esac
if [ "$wait_secs" -lt 1 ] || [ "$wait_secs" -gt 60 ]; then die "VORLANE_DEMO_WAIT must be from 1 to 60"; fi
[ "$(id -u)" -eq 0 ] || die "run as root: the private Postfix and Dovecot need it"
# Files of an earlier run would be sent again and counted twice.
if [ -n "${VORLANE_DEMO_DIR:-}" ] && [ -e "$VORLANE_DEMO_DIR" ] && [ -n "$(ls -A "$VORLANE_DEMO_DIR")" ]; then
  die "$VORLANE_DEMO_DIR is not empty; name a new or empty folder"
fi

bash scripts/install-deps.sh
if [ $installed -eq 1 ]; then
  # The programs the package put in /usr/bin, nothing built.
  bin=/usr/bin
  for p in VRLEng31 VRLCfg31 VRL31; do
    [ -x "$bin/$p" ] || die "no $bin/$p: install the package first (bash scripts/package.sh && apt install ./vorlane_*.deb)"
  done
  echo "Using the installed programs in $bin"
else
  echo "Building into build-demo..."
  out=$(bash scripts/build.sh build-demo -DVRL_BUILD_TESTS=OFF -DVRL_BUILD_BENCH=OFF 2>&1) ||
    { printf '%s\n' "$out" | tail -n 60; die "build failed"; }
  bin=$here/build-demo/bin
fi

# Everything started from here on is stopped on every way out: the agent first (it may still
# talk to the servers), then the servers, whose folder then goes.
mail=""
agent_pid=""
agent_killed=0
alive() { [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; }
stop_agent() {  # SIGTERM asks for the orderly stop; a stuck agent is killed after 15 s
  local i
  alive || return 0
  kill -TERM "$agent_pid" 2>/dev/null || true
  for i in $(seq 1 30); do
    alive || return 0
    sleep 0.5
  done
  echo "demo: the agent did not stop within 15 s; killing it" >&2
  agent_killed=1
  kill -KILL "$agent_pid" 2>/dev/null || true
}
# shellcheck disable=SC2317  # runs from the trap
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  stop_agent
  if [ -n "$mail" ]; then
    if bash "$here/scripts/mailservers.sh" stop "$mail" >/dev/null 2>&1; then
      rm -rf "$mail"
    else
      echo "demo: the mail servers in $mail did not stop; folder left in place" >&2
      rc=1
    fi
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Our own empty folder for the servers, so the clean-up knows it even when the start fails half-way.
mail=$(mktemp -d "${TMPDIR:-/tmp}/vrl-demo-mail.XXXXXX")
echo "Starting the private mail servers..."
bash scripts/mailservers.sh start "$mail" >/dev/null
eval "$(bash scripts/mailservers.sh env "$mail")"
echo "  SMTP 127.0.0.1:$VRL_SMTP_PORT, POP3 127.0.0.1:$VRL_POP3_PORT, mailbox $VRL_AGENT_ADDRESS"

demo=${VORLANE_DEMO_DIR:-$(mktemp -d /tmp/vorlane-demo.XXXXXX)}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
chmod 700 "$demo"
echo "Demo application folder: $demo"

orders=$demo/orders/out
invoices=$demo/invoices/out
archive=$demo/archive/out
inbox=$demo/inbox
mkdir -p "$orders" "$invoices" "$archive" "$inbox"

# Files-from-folder profile: each *.TXT goes as the attachment of its own message.
printf 'order 1001: 3 x widget\r\n' >"$orders/ORDER1001.TXT"
printf 'Bestellung 1002: 2 x Zahnrad für Herrn Müller\r\n' >"$orders/Bestellung-Müller.TXT"
# Information-file profile: each *.INF names recipient, attachment, subject and text; the values
# sit between "<" and the last ">" of their line.
printf 'invoice;77;2024-05-02;119.00 EUR\r\n' >"$invoices/Rechnung-77.CSV"
printf 'To: <%s>\r\nFile: <%s>\r\nSubject: <Invoice 77>\r\nText: <Invoice 77 is attached.>\r\n' \
  "$VRL_AGENT_ADDRESS" "$invoices/Rechnung-77.CSV" >"$invoices/INV77.INF"
# The disabled profile's file stays where it is.
printf 'order 0999: 1 x sprocket\r\n' >"$archive/OLD-ORDER.TXT"

# The bundled configuration with this run's folder, ports and account; it holds the password.
( umask 077
  DEMO=$demo HOST=$VRL_MAIL_HOST SMTP=$VRL_SMTP_PORT POP3=$VRL_POP3_PORT ACCOUNT=$VRL_MAIL_USER \
  PASSWORD=$VRL_MAIL_PASS ADDRESS=$VRL_AGENT_ADDRESS CA=$VRL_TLS_CA \
  python3 - demo/demo-config.json "$demo/demo-config.json" <<'EOF'
import json, os, sys
e = os.environ
with open(sys.argv[1], encoding="utf-8") as f:
    doc = json.load(f)
def fill(v):
    return v.replace("@DEMO@", e["DEMO"]) if isinstance(v, str) else v
doc["global"] = {k: fill(v) for k, v in doc["global"].items()}
for p in doc["profiles"]:
    for k in p:
        p[k] = fill(p[k])
    # A server left empty stays empty: no connection to it.
    if p["SmtpServer"]:
        p["SmtpServer"] = e["HOST"]
    if p["Pop3Server"]:
        p["Pop3Server"] = e["HOST"]
    p["SmtpTcpPort"] = int(e["SMTP"])
    p["Pop3TcpPort"] = int(e["POP3"])
    p["UserName"] = e["ACCOUNT"]
    p["Pop3SmtpPws"] = e["PASSWORD"]
    p["FromAddress"] = e["ADDRESS"]
    if p["RecAddress"]:
        p["RecAddress"] = e["ADDRESS"]
    # Automatic security finds STLS on the private Dovecot: its certificate is the harness's CA's.
    p["CaFile"] = e["CA"]
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(doc, f, indent=2, ensure_ascii=False)
EOF
)
"$bin/VRLCfg31" --home "$demo" --import "$demo/demo-config.json"
echo
echo "Profiles:"
"$bin/VRLCfg31" --home "$demo" --list

list_folder() {  # list_folder DIR [FORMAT]: one indented line a file, or "(empty)"
  local lines
  lines=$(find "$1" -mindepth 1 -maxdepth 1 -printf "${2:-%f}\n" | sort)
  if [ -n "$lines" ]; then printf '%s\n' "$lines" | sed 's/^/      /'; else echo "      (empty)"; fi
}
list_outbound() {
  local d
  for d in "$orders" "$invoices" "$archive"; do
    echo "    ${d#"$demo"/}/"
    list_folder "$d"
  done
}
before=$(list_outbound)

# What has to come back: one message, so one information file, per file sent, and each file's
# bytes (the sent files are renamed or deleted, so their checksums are taken now).
sent=("$orders"/*.TXT "$invoices/Rechnung-77.CSV")
expected=${#sent[@]}
sums=()
for f in "${sent[@]}"; do sums+=("$(sha256sum <"$f" | cut -c1-64)"); done
count_inf() { find "$inbox" -maxdepth 1 -type f -iname '*.INF' | wc -l; }

# The console on a private session bus whose only service is this build's agent, with the demo
# folder as the application folder. Its agent loses the bus when the console closes and stops.
open_console() {
  local bus=$demo/bus seconds=${VORLANE_DEMO_CONSOLE_SECONDS:-} i
  mkdir -p "$bus/services"
  printf '[D-BUS Service]\nName=org.vorlane.VRLEng31\nExec=%s\n' "$bin/VRLEng31" \
    >"$bus/services/org.vorlane.VRLEng31.service"
  cat >"$bus/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$bus/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  echo
  echo "Opening the console on $demo; the mail servers run until you close it."
  echo "  Press Start, drop a file into orders/out/ and watch it come back into inbox/."
  VORLANE_HOME=$demo dbus-run-session --config-file="$bus/session.conf" -- \
    ${seconds:+timeout -s TERM "$seconds"} "$bin/VRL31" || true
  for i in $(seq 1 30); do
    [ -n "$(console_agents)" ] || return 0
    sleep 0.5
  done
  console_agents | xargs -r kill -KILL || true
}
# The agents the console's bus started: the demo folder in their environment (with --installed
# another agent of /usr/bin may run on this machine and is left alone).
console_agents() {
  local p
  for p in $(pgrep -f "^$bin/VRLEng31"); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "VORLANE_HOME=$demo" && echo "$p"
  done
  return 0
}

echo
echo "Running the agent (a cycle every 2 s) until $expected information files are in inbox/..."
"$bin/VRLEng31" --run --home "$demo" >"$demo/agent.out" 2>&1 &
agent_pid=$!
got=0
ended_early=0
start=$SECONDS
for i in $(seq 1 $((wait_secs * 2))); do
  got=$(count_inf)
  [ "$got" -ge "$expected" ] && break
  if ! alive; then ended_early=1; break; fi
  [ $((SECONDS - start)) -lt "$wait_secs" ] || break
  [ $((i % 10)) -ne 0 ] || echo "  $((SECONDS - start)) s: $got of $expected"
  sleep 0.5
done
got=$(count_inf)
waited=$((SECONDS - start))
stop_agent
agent_status=0
wait "$agent_pid" || agent_status=$?
agent_pid=""

echo
echo "Agent log ($demo/vorlane.log):"
cat "$demo/vorlane.log" 2>/dev/null || echo "  (no log file)"
if [ -s "$demo/agent.out" ]; then
  echo
  echo "Agent output:"
  cat "$demo/agent.out"
fi

echo
echo "Files that left"
echo "  before the run:"
echo "$before"
echo "  after the run:"
list_outbound
echo
echo "Files that came back"
echo "    inbox/"
list_folder "$inbox" '%f  (%s bytes)'
first_inf=$(find "$inbox" -maxdepth 1 -type f -iname '*.INF' | sort | head -n 1)
if [ -n "$first_inf" ]; then
  echo "  ${first_inf#"$demo"/}:"
  sed 's/\r$//; s/^/    /' "$first_inf"
fi

# Every file sent must be back with the same bytes, whatever name it got.
back=$(find "$inbox" -maxdepth 1 -type f -exec sha256sum {} + | cut -c1-64)
missing=()
for i in "${!sent[@]}"; do
  grep -qxF "${sums[$i]}" <<<"$back" || missing+=("$(basename "${sent[$i]}")")
done

problems=()
[ $ended_early -eq 0 ] || problems+=("the agent ended by itself after ${waited} s (exit status $agent_status)")
[ "$got" -ge "$expected" ] ||
  problems+=("$got of $expected information files arrived in inbox/ within ${waited} s")
# Names only help when some came back.
[ ${#missing[@]} -eq 0 ] || [ "$got" -eq 0 ] || problems+=("not back in inbox/: ${missing[*]}")
if [ $agent_killed -eq 1 ]; then
  problems+=("the agent did not stop within 15 s of SIGTERM and was killed")
elif [ "$agent_status" -ne 0 ] && [ $ended_early -eq 0 ]; then
  problems+=("the agent exited with status $agent_status after SIGTERM")
fi

echo
if [ ${#problems[@]} -eq 0 ]; then
  echo "Demo OK: $expected files left as mail and came back as files in ${waited} s."
  [ $console -eq 0 ] || open_console
  exit 0
fi
# Where the mail stopped: never delivered to the mailbox, or delivered but not fetched.
if [ "$got" -lt "$expected" ] || [ ${#missing[@]} -gt 0 ]; then
  in_mailbox=$(find "$VRL_MAILDIR/new" "$VRL_MAILDIR/cur" -type f | wc -l)
  queued=$(find "$mail/spool/incoming" "$mail/spool/active" "$mail/spool/deferred" -type f 2>/dev/null | wc -l)
  if [ "$queued" -gt 0 ]; then
    problems+=("$queued messages still sit in Postfix's queue (see its log above)")
  elif [ "$in_mailbox" -gt 0 ]; then
    problems+=("$in_mailbox messages wait in $VRL_MAIL_ADDRESS: delivered, not fetched (did the agent receive?)")
  else
    problems+=("the mailbox $VRL_MAIL_ADDRESS is empty: nothing waits to be fetched (did the agent send?)")
  fi
fi
echo "Mail-server logs:"
bash scripts/mailservers.sh logs "$mail"
echo
{
  echo "DEMO FAILED:"
  for p in "${problems[@]}"; do echo "  - $p"; done
  echo "  The application folder stays for a look: $demo"
} >&2
exit 1
