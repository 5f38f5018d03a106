#!/usr/bin/env bash
# The Debian package of this build tree, end to end: made by scripts/package.sh, checked by
# lintian, installed with apt-get, its programs run from /usr/bin, its agent activated on a
# private session bus, then removed without a trace. It changes /usr, so it needs root and runs
# alone (RUN_SERIAL); it leaves a vorlane package installed before it alone.
#   package_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=${1:?source folder} build=${2:?build folder}
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing the package needs root"
for tool in dpkg dpkg-query apt-get lintian dbus-daemon gdbus; do
  command -v "$tool" >/dev/null || skip "$tool is missing (bash scripts/install-deps.sh)"
done
status=$(dpkg-query -W -f='${Status}' vorlane 2>/dev/null)
case $status in ''|*not-installed) ;; *) skip "a vorlane package is on this machine ($status); the test leaves it alone" ;; esac
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || skip "the build tree is configured for $prefix; package it configured with -DCMAKE_INSTALL_PREFIX=/usr"

t=$(mktemp -d)
installed=0 bus_pid=
cleanup() {
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
  [ $installed -eq 1 ] && timeout 120 dpkg -r vorlane >/dev/null 2>&1
  rm -rf "$t"
}
trap cleanup EXIT

echo "== package"
out=$(timeout 900 bash "$src/scripts/package.sh" "$t/out" --build-dir "$build") || { echo "$out"; fail "package.sh"; }
deb=$(tail -n1 <<<"$out")
echo "$deb"
[ -f "$deb" ] || fail "package.sh printed no package"
# Only the four programs go to /usr/bin: no test program or benchmark comes along.
bins=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed -n 's|^\./usr/bin/||p' | grep . | sort | tr '\n' ' ')
[ "$bins" = "VRL31 VRLCfg31 VRLEng31 vrlmail " ] || fail "programs in the package: $bins"

echo "== lintian"
timeout 600 lintian --fail-on error "$deb" || fail "lintian reports errors"

echo "== install"
export DEBIAN_FRONTEND=noninteractive
installed=1
timeout 600 apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=120 "$deb" \
  || fail "apt-get install"
dpkg-query -L vorlane >"$t/files" || fail "dpkg -L vorlane"

# Every program runs from /usr/bin in a bare environment: no display, no bus, a throw-away home.
mkdir -p "$t/home" "$t/tmp" "$t/run" && chmod 700 "$t/run"
bare=(env -i PATH=/usr/bin:/bin HOME="$t/home" XDG_CONFIG_HOME="$t/home/config" XDG_DATA_HOME="$t/home/data"
      XDG_DATA_DIRS=/usr/share XDG_RUNTIME_DIR="$t/run" TMPDIR="$t/tmp")
for program in VRLEng31 VRL31 VRLCfg31 vrlmail; do
  help=$(timeout 30 "${bare[@]}" "/usr/bin/$program" --help 2>&1) || fail "$program --help exits $?: $help"
  grep -qi '^usage:' <<<"$help" || fail "$program --help prints no usage: $help"
done

echo "== activation"
# The installed example, imported by the installed configuration program, cut to one profile with
# an empty outbound folder and a server under .invalid: the agent runs an hourly cycle that finds
# no work and never leaves the machine.
mkdir -p "$t/home/config" "$t/out"
python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
doc["global"].update(UseLogFile=False, LogFileName="", AutoExit=False, PrcInterval=1, PrcIntervalUnit=2)
orders = doc["profiles"][0]
orders.update(OutboundDir=sys.argv[3], SmtpServer="smtp.invalid")
doc["profiles"] = [orders]
json.dump(doc, open(sys.argv[2], "w"))' /usr/share/doc/vorlane/examples/demo-config.json "$t/config.json" "$t/out" \
  || fail "no example configuration"
timeout 30 "${bare[@]}" /usr/bin/VRLCfg31 --import "$t/config.json" || fail "VRLCfg31 --import"
# The bus's default session configuration finds services in $XDG_DATA_DIRS: /usr/share only here.
bus=$(timeout 30 "${bare[@]}" dbus-daemon --session --fork --print-address=1 --print-pid=1) || fail "dbus-daemon"
addr=$(sed -n 1p <<<"$bus") bus_pid=$(sed -n 2p <<<"$bus")
onbus=("${bare[@]}" DBUS_SESSION_BUS_ADDRESS="$addr")
# A running agent stays on the bus until told to stop, so asking who it is races with nothing.
timeout 60 "${onbus[@]}" /usr/bin/VRL31 --start || fail "VRL31 --start exits $?"
pid=$(timeout 30 "${onbus[@]}" gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.GetConnectionUnixProcessID org.vorlane.VRLEng31 | tr -dc '0-9 ' | awk '{print $NF}')
[ -n "$pid" ] || fail "nobody owns org.vorlane.VRLEng31"
exe=$(readlink "/proc/$pid/exe")
[ "$exe" = /usr/bin/VRLEng31 ] || fail "the agent on the bus is $exe"
status=$(timeout 30 "${onbus[@]}" /usr/bin/VRL31 --status) || fail "VRL31 --status exits $?"
echo "$status"
grep -q 'AgentState: Running' <<<"$status" || fail "the agent does not run"
timeout 30 "${onbus[@]}" /usr/bin/VRL31 --stop || fail "VRL31 --stop"
# Stopped and held by nobody, the agent ends by itself.
timeout 60 tail --pid="$pid" -f /dev/null || fail "the agent did not end after the stop"
kill "$bus_pid" && bus_pid=

echo "== remove"
timeout 120 dpkg -r vorlane || fail "dpkg -r"
installed=0
dpkg-query -W -f='${Status}' vorlane 2>/dev/null | grep -q 'config-files' && fail "dpkg -r left configuration files"
left=0
while IFS= read -r path; do
  # Folders shared with other packages stay; anything of ours must go.
  if [ -e "$path" ] || [ -L "$path" ]; then
    if [ ! -d "$path" ] || [[ $path == *vorlane* ]]; then echo "left: $path"; left=1; fi
  fi
done <"$t/files"
[ $left -eq 0 ] || fail "files of the package remain after dpkg -r"
echo "PASS: $(wc -l <"$t/files") paths installed and removed"
