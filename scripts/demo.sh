#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent for one cycle on a bundled demo
# application folder (a few profiles: one with a missing inbound folder, one disabled), then
# prints the agent's log. Nothing leaves this machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
bash scripts/build.sh build -DVRL_BUILD_TESTS=OFF -DVRL_BUILD_BENCH=OFF >/dev/null
bin=$here/build/bin

demo=${VORLANE_DEMO_DIR:-$(mktemp -d /tmp/vorlane-demo.XXXXXX)}
mkdir -p "$demo"
chmod 700 "$demo"
echo "Demo application folder: $demo"

# The folders the profiles name; the "Invoices" inbound folder is left out on purpose.
mkdir -p "$demo/orders/in" "$demo/orders/out" "$demo/invoices/out" \
         "$demo/archive/in" "$demo/archive/out" "$demo/reports/out"
printf 'order 1001: 3 x widget\r\n' > "$demo/orders/out/ORDER1001.TXT"
printf 'order 1002: 1 x gadget\r\n' > "$demo/orders/out/order1002.txt"
printf 'To: accounts@localhost\r\nFile: %s\r\nSubject: Invoice 77\r\nText: Invoice attached\r\n' \
  "$demo/invoices/out/INV77.PDF" > "$demo/invoices/out/INV77.INF"

sed "s#@DEMO@#$demo#g" demo/demo-config.json > "$demo/demo-config.json"
"$bin/VRLCfg31" --home "$demo" --import "$demo/demo-config.json"
echo
echo "Profiles:"
"$bin/VRLCfg31" --home "$demo" --list
echo
echo "Running the agent (one cycle, then it stops by itself)..."
status=0
"$bin/VRLEng31" --run --home "$demo" || status=$?
echo
echo "Agent log ($demo/vorlane.log):"
cat "$demo/vorlane.log"
echo
echo "Agent exit status: $status"
exit $status
