#!/usr/bin/env bash
# Demo telemetry source and receiver. Usage: demo-publisher.sh PORT TOPIC [SECONDS]
# Runs in cycles of 60 seconds so that every part of the service shows up in its log:
#   0-24 s  normal:   one message a second, acknowledged at once, except every third one, which is
#                     acknowledged only when skelvane sends it again (the resend chain);
#   25-39 s outage:   the receiver is down: two messages a second, none acknowledged; the active
#                     file grows past its limit and is rotated into gzip archives;
#   40-59 s recovery: everything is acknowledged, resends included; flushes empty the active file
#                     and the archives are restored and resent, oldest first.
set -euo pipefail
port=$1
topic=$2
duration=${3:-1000000}
pub() { mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$1" -m "$2"; }
pad=$(printf 'reading%.0s' $(seq 40))  # ~280 bytes of filler, so the file grows visibly

phase() {
  local s=$(( $(date +%s) % 60 ))
  if [ "$s" -lt 25 ]; then echo normal; elif [ "$s" -lt 40 ]; then echo outage; else echo recovery; fi
}

# Receiver side: a message seen a second time on the data topic is a resend; acknowledge it, unless
# the receiver is "down".
(
  declare -A seen
  mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t "$topic" | while IFS= read -r line; do
    id=$(sed -n 's/.*"msg_id":"\([^"]*\)".*/\1/p' <<<"$line")
    ts=$(sed -n 's/.*"timestamp":\([0-9-]*\).*/\1/p' <<<"$line")
    [ -n "$id" ] && [ -n "$ts" ] || continue
    seen[$id]=$(( ${seen[$id]:-0} + 1 ))
    if [ "${seen[$id]}" -ge 2 ] && [ "$(phase)" != outage ]; then
      pub "$topic/ack" "{\"timestamp\":$ts,\"msg_id\":\"$id\",\"ack_ts\":$(date +%s)}"
    fi
  done
) &
sub_pid=$!
trap 'kill $sub_pid 2>/dev/null; pkill -P $sub_pid 2>/dev/null || true' EXIT

i=0
last=""
end=$(( $(date +%s) + duration ))
while [ "$(date +%s)" -lt "$end" ]; do
  p=$(phase)
  if [ "$p" != "$last" ]; then echo ">>> demo publisher: $p phase" >&2; last=$p; fi
  i=$((i + 1))
  ts=$(date +%s)
  pub "$topic" "{\"timestamp\":$ts,\"msg_id\":\"demo-$i\",\"temperature\":$((RANDOM % 40)).$((RANDOM % 10)),\"note\":\"$pad\"}"
  case $p in
    normal) [ $((i % 3)) -eq 0 ] || pub "$topic/ack" "{\"acks\":[{\"timestamp\":$ts,\"msg_id\":\"demo-$i\",\"ack_ts\":$(date +%s)}]}"
            sleep 1 ;;
    outage) sleep 0.5 ;;
    recovery) pub "$topic/ack" "{\"acks\":[{\"timestamp\":$ts,\"msg_id\":\"demo-$i\",\"ack_ts\":$(date +%s)}]}"
              sleep 1 ;;
  esac
done
