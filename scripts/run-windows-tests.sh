#!/usr/bin/env bash
# Runs the Windows tree's ctest suite under Wine, in a fresh prefix inside the build tree.
set -euo pipefail
build=${1:-build-win}
if ! ctest --test-dir "$build" -N 2>/dev/null | grep -q 'Total Tests: [1-9]'; then
  echo "windows: cross build compiled; no Wine tests registered yet"
  exit 0
fi
export WINEDEBUG=-all
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
mkdir -p "$WINEPREFIX"
ctest --test-dir "$build" --output-on-failure -L windows
