#!/usr/bin/env bash
# The main job: limit the built-in demo programme through three stages with lodrin-host.
set -euo pipefail
build=${1:-build}
host="$build/tools/lodrin-host"
module="$build/modules/clap/Lodrin.clap"
if [ ! -x "$host" ] || [ ! -f "$module" ]; then
  echo "demo: lodrin-host and Lodrin.clap are not built yet; once they are, this runs"
  echo "      lodrin-host render --demo --stages 3 -o $build/demo-out.wav"
  exit 0
fi
exec "$host" render --module "$module" --demo --stages 3 -o "$build/demo-out.wav"
