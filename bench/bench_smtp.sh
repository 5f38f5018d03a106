#!/usr/bin/env bash
# Send-side benchmark: vrlmail send against a fast fake SMTP server on loopback.
#   1. N small messages on one kept-open connection (vrlmail send --count N), beside Python's
#      smtplib sending the same messages to the same server on one connection;
#   2. one message with a large attachment: throughput and the sender's peak resident memory.
# Usage: bench/bench_smtp.sh BUILD_DIR [MESSAGES] [ATTACHMENT_MB]
# Prints figures as "name: value unit".
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
messages=${2:-1000}
mb=${3:-50}
here=$(cd "$(dirname "$0")" && pwd)
cmake --build "$build" --target vrlmail bench_smtp_sink >/dev/null
vrlmail=$build/bin/vrlmail
sink=$build/bin/bench_smtp_sink
python=/usr/bin/python3

work=$(mktemp -d)
sink_pid=
cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$sink" >"$work/sink.out" 2>&1 &
sink_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^port: //p' "$work/sink.out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "sink did not start" >&2; exit 1; }

# The small message: a short text, no attachment.
printf 'Hello,\r\nthis is benchmark message text.\r\nRegards\r\n' >"$work/text.txt"

echo "== $messages small messages on one connection (fake server on 127.0.0.1:$port)"
"$vrlmail" send --host 127.0.0.1 --port "$port" --security none --from bench@localhost --to sink@localhost \
  --subject "Benchmark message" --text-file "$work/text.txt" --count "$messages" --quiet --stats >"$work/vrl.out"
cat "$work/vrl.out" | sed 's/^/  /'
vrl_rate=$(sed -n 's/^rate: \([0-9.]*\).*/\1/p' "$work/vrl.out")
grep -q "^sent: $messages of $messages" "$work/vrl.out" || { echo "vrlmail did not send every message" >&2; exit 1; }

py_rate=
if [ -x "$python" ]; then
  py_rate=$("$python" - "$port" "$messages" "$work/text.txt" <<'EOF'
import smtplib, sys, time
from email.message import EmailMessage
port, n, text = int(sys.argv[1]), int(sys.argv[2]), open(sys.argv[3], encoding="utf-8").read()
msg = EmailMessage()
msg["From"] = "bench@localhost"; msg["To"] = "sink@localhost"; msg["Subject"] = "Benchmark message"
msg.set_content(text)
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port, local_hostname="localhost") as s:
    for _ in range(n):
        # Composed per message, as vrlmail composes each one.
        s.send_message(msg)
print(f"{n / (time.perf_counter() - start):.1f}")
EOF
)
fi

echo "vrlmail_small_messages_rate: $vrl_rate msg/s"
if [ -n "$py_rate" ]; then
  echo "python_smtplib_small_messages_rate: $py_rate msg/s"
  echo "vrlmail_vs_smtplib_ratio: $(awk -v a="$vrl_rate" -v b="$py_rate" 'BEGIN{printf "%.2f", a/b}') x"
fi

echo "== one message with a $mb MB attachment"
head -c $((mb * 1024 * 1024)) /dev/urandom >"$work/big.bin"
"$vrlmail" send --host 127.0.0.1 --port "$port" --security none --from bench@localhost --to sink@localhost \
  --subject "Large attachment" --text-file "$work/text.txt" --attach "$work/big.bin" --quiet --stats >"$work/big.out"
sed 's/^/  /' "$work/big.out"
elapsed=$(sed -n 's/^elapsed: \([0-9.]*\).*/\1/p' "$work/big.out")
idle=$(sed -n 's/^rss_idle: \([0-9]*\).*/\1/p' "$work/big.out")
peak=$(sed -n 's/^rss_peak: \([0-9]*\).*/\1/p' "$work/big.out")
echo "vrlmail_attachment_throughput: $(awk -v m="$mb" -v s="$elapsed" 'BEGIN{printf "%.1f", m/s}') MB/s"
echo "vrlmail_attachment_rss_idle: $((idle / 1024)) MB"
echo "vrlmail_attachment_rss_peak: $((peak / 1024)) MB"
echo "vrlmail_attachment_rss_above_idle: $(((peak - idle) / 1024)) MB"

kill "$sink_pid"
wait "$sink_pid" 2>/dev/null || true
sink_pid=
sed -n 's/^sink_messages: /sink_messages_received: /p; s/^sink_bytes: \(.*\)/sink_bytes_received: \1 bytes/p' "$work/sink.out"
