#!/usr/bin/env bash
# CTest fixture around scripts/mailservers.sh (or scripts/pgserver.sh with KIND pgserver): "start
# STATE" starts the private servers in a new temp folder and writes its path into STATE; "stop
# STATE" stops them, keeps their logs beside STATE (STATE.logs/) and removes the temp folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start or stop}
state=${2:?state file}
kind=${3:-mailservers}
harness=$here/../../scripts/$kind.sh

remove_run() {  # stop and remove the folder named in STATE, keeping its logs
  local d
  [ -f "$state" ] || return 0
  d=$(cat "$state")
  rm -f "$state"
  [ -d "$d" ] || return 0
  bash "$harness" stop "$d" || true
  rm -rf "$state.logs"
  mkdir -p "$state.logs"
  cp -r "$d"/log/. "$d"/*.log "$state.logs" 2>/dev/null || true
  # Only ever remove a folder the harness made.
  case "$(basename "$d")" in
    "vrl-$kind".*) rm -rf "$d" ;;
    *) echo "fixture: left $d in place (not made by the harness)" >&2 ;;
  esac
}

missing() {  # what this machine lacks for KIND's servers, if anything
  [ "$(id -u)" -eq 0 ] || { echo root; return; }
  if [ "$kind" = pgserver ]; then
    compgen -G "/usr/lib/postgresql/*/bin/initdb" >/dev/null && id postgres >/dev/null 2>&1 || echo "PostgreSQL's server"
  else
    command -v postfix >/dev/null && command -v dovecot >/dev/null || echo "postfix and dovecot"
  fi
}

case "$cmd" in
  start)
    lack=$(missing)
    if [ -n "$lack" ]; then
      echo "fixture: needs $lack; interoperation tests skipped"
      exit 77
    fi
    remove_run  # a run interrupted before its clean-up
    d=$(bash "$harness" start | tail -n 1)
    echo "$d" >"$state"
    bash "$harness" env "$d" | grep -v '^VRL_MAIL_PASS='
    ;;
  stop)
    remove_run
    ;;
  *)
    echo "usage: fixture.sh start|stop STATE [mailservers|pgserver]" >&2
    exit 2
    ;;
esac
