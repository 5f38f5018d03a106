#!/usr/bin/env bash
# CTest fixture around scripts/mailservers.sh: "start STATE" starts the private servers in a new
# temp folder and writes its path into STATE; "stop STATE" stops them, keeps their logs beside
# STATE (STATE.logs/) and removes the temp folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
harness=$here/../../scripts/mailservers.sh
cmd=${1:?start or stop}
state=${2:?state file}

remove_run() {  # stop and remove the folder named in STATE, keeping its logs
  local d
  [ -f "$state" ] || return 0
  d=$(cat "$state")
  rm -f "$state"
  [ -d "$d" ] || return 0
  bash "$harness" stop "$d" || true
  rm -rf "$state.logs"
  cp -r "$d/log" "$state.logs" 2>/dev/null || true
  # Only ever remove a folder the harness made.
  case "$(basename "$d")" in
    vrl-mailservers.*) rm -rf "$d" ;;
    *) echo "fixture: left $d in place (not made by the harness)" >&2 ;;
  esac
}

case "$cmd" in
  start)
    if [ "$(id -u)" -ne 0 ] || ! command -v postfix >/dev/null || ! command -v dovecot >/dev/null; then
      echo "fixture: needs root, postfix and dovecot; interoperation tests skipped"
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
    echo "usage: fixture.sh start|stop STATE" >&2
    exit 2
    ;;
esac
