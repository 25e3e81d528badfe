#!/usr/bin/env bash
# Demo telemetry source and receiver: publishes one message a second on TOPIC and acknowledges it at
# once, except every third message, which it acknowledges only when skelvane sends it again (the
# resend chain). Usage: demo-publisher.sh PORT TOPIC [COUNT]
set -euo pipefail
port=$1
topic=$2
count=${3:-1000000}
pub() { mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$1" -m "$2"; }

# Receiver side: every message seen a second time on the data topic is a resend; acknowledge it.
(
  declare -A seen
  mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t "$topic" | while IFS= read -r line; do
    id=$(sed -n 's/.*"msg_id":"\([^"]*\)".*/\1/p' <<<"$line")
    ts=$(sed -n 's/.*"timestamp":\([0-9-]*\).*/\1/p' <<<"$line")
    [ -n "$id" ] && [ -n "$ts" ] || continue
    seen[$id]=$(( ${seen[$id]:-0} + 1 ))
    if [ "${seen[$id]}" -ge 2 ]; then
      pub "$topic/ack" "{\"timestamp\":$ts,\"msg_id\":\"$id\",\"ack_ts\":$(date +%s)}"
    fi
  done
) &
sub_pid=$!
trap 'kill $sub_pid 2>/dev/null; pkill -P $sub_pid 2>/dev/null || true' EXIT

for i in $(seq 1 "$count"); do
  ts=$(date +%s)
  pub "$topic" "{\"timestamp\":$ts,\"msg_id\":\"demo-$i\",\"temperature\":$((RANDOM % 40)).$((RANDOM % 10)),\"site\":\"demo\"}"
  if [ $((i % 3)) -ne 0 ]; then
    pub "$topic/ack" "{\"acks\":[{\"timestamp\":$ts,\"msg_id\":\"demo-$i\",\"ack_ts\":$(date +%s)}]}"
  fi
  sleep 1
done
