#!/usr/bin/env bash
# Demo: installs what is needed, builds, starts a private mosquitto on loopback when none answers on
# 127.0.0.1:1883, and runs skelvane on a demo configuration whose outbox and log live under .demo/.
# A small publisher sends telemetry and acknowledgements (holding back every third one until it comes
# back as a resend), so capture, flush, resend and rotation show up in the log within a minute.
# Ctrl-C stops everything this script started.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEMO=$ROOT/.demo
TOPIC=/kv/bridge/data/meter

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target skelvane

mkdir -p "$DEMO/outbox" "$DEMO/log"
pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo
  echo "demo stopped; the outbox stays in $DEMO/outbox"
}
trap cleanup EXIT INT TERM

port=1883
if mosquitto_pub -h 127.0.0.1 -p "$port" -t skelvane/demo/probe -m probe >/dev/null 2>&1; then
  echo "using the broker already answering on 127.0.0.1:$port"
else
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat > "$DEMO/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
CONF
  mosquitto -c "$DEMO/mosquitto.conf" >"$DEMO/log/mosquitto.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    mosquitto_pub -h 127.0.0.1 -p "$port" -t skelvane/demo/probe -m probe >/dev/null 2>&1 && break
    sleep 0.1
  done
  echo "started a private mosquitto on 127.0.0.1:$port (pid ${pids[-1]})"
fi

cat > "$DEMO/skelvane.json" <<JSON
{
  "topics": ["$TOPIC"],
  "storage": {"dir": "$DEMO/outbox", "compress": true, "max_file_kb": 4, "max_dir_kb": 256,
              "rotation_cooldown": 10},
  "resend": {"cooldown": 5, "stale_threshold": 30, "grace_period": 5, "live_ack_threshold": 30,
             "fast_ack_threshold": 5},
  "maintenance_interval": 10,
  "loop_timeout_ms": 1000
}
JSON

export KESTOVA_MQTT_URI=tcp://127.0.0.1:$port
KESTOVA_LOG="/P7.Sink=Console /P7.Trc.Verb=1" "$ROOT/build/bin/skelvane" "$DEMO/skelvane.json" \
  > >(tee "$DEMO/log/skelvane.log") 2>&1 &
pids+=($!)

cat <<INFO
------------------------------------------------------------------------------------------------
skelvane is running (pid ${pids[-1]}), configuration $DEMO/skelvane.json
  outbox:  $DEMO/outbox   (active file outbox.jsonl, archives outbox.<stamp>.jsonl.gz)
  log:     $DEMO/log/skelvane.log
Publish a message yourself:
  mosquitto_pub -h 127.0.0.1 -p $port -q 1 -t $TOPIC -m '{"timestamp":'\$(date +%s)',"msg_id":"m1","v":1}'
Acknowledge it:
  mosquitto_pub -h 127.0.0.1 -p $port -q 1 -t $TOPIC/ack -m '{"acks":[{"timestamp":<ts>,"msg_id":"m1"}]}'
A demo publisher now runs 60-second cycles: normal traffic with resends, a receiver outage
(rotation into archives), recovery (archives restored and resent). Ctrl-C stops everything.
------------------------------------------------------------------------------------------------
INFO

sleep 1
bash "$ROOT/scripts/demo-publisher.sh" "$port" "$TOPIC" &
pids+=($!)
wait
