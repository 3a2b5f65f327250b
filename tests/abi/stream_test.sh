#!/usr/bin/env bash
# Starts camsim on free loopback ports and runs the C host in its streaming
# mode against it: the frame path's tables (allocator, sample, sink, stream
# settings, capture object) checked slot by slot.
#   stream_test.sh <camsim> <media dir> <seconds> <command...>
# The command gets "<http port> <rtsp port> <seconds>" appended.
set -euo pipefail
camsim=$1 media=$2 seconds=$3
shift 3
log=$(mktemp)
"$camsim" --media-dir "$media" --fps 25 --auth basic > "$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do grep -q "rtsp port" "$log" && break; sleep 0.1; done
http_port=$(awk '/http port/ {print $4}' "$log")
rtsp_port=$(awk '/rtsp port/ {print $4; exit}' "$log")
[ -n "$http_port" ] && [ -n "$rtsp_port" ] || { cat "$log"; echo "camsim did not start"; exit 1; }
"$@" "$http_port" "$rtsp_port" "$seconds"
