#!/usr/bin/env bash
# Builds everything, starts the simulated target on a pseudo-terminal and uploads the sample
# image to it, showing quorvane's own console output.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quorvane quorvane-sim >/dev/null

sim_out=$(mktemp)
trap 'kill "$sim" 2>/dev/null || true; rm -f "$sim_out"' EXIT
build/default/tools/quorvane-sim --bitrate 115200 >"$sim_out" &
sim=$!
for _ in $(seq 100); do grep -q '^device: ' "$sim_out" && break; sleep 0.05; done
device=$(sed -n 's/^device: //p' "$sim_out" | head -n 1)
[ -n "$device" ] || { echo "demo: the simulated target did not start" >&2; exit 1; }

echo "\$ quorvane examples/sample-image.txt $device 115200 10"
build/default/quorvane examples/sample-image.txt "$device" 115200 10
