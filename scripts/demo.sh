#!/usr/bin/env bash
# The main job: limit the built-in demo programme through three stages with lodrin-host and write
# <build>/demo-out.wav. Usage: demo.sh [build dir]
set -euo pipefail
build=${1:-build}
host="$build/tools/lodrin-host"
module="$build/Lodrin.clap"
if [ ! -x "$host" ] || [ ! -f "$module" ]; then
  echo "demo: $host or $module is missing; build first (make build)" >&2
  exit 1
fi
echo "demo: the built-in programme (8 s of drums, bass and pad peaking near +4 dBFS)"
echo "      through three Lodrin stages: Gain 4 dB, then 2 dB, then 1 dB into a -1 dB ceiling"
exec "$host" render --module "$module" --demo --stages 3 \
  --set 1:Gain=4 --set 2:Gain=2 --set 3:Gain=1 --set 3:Ceiling=-1 \
  -o "$build/demo-out.wav"
