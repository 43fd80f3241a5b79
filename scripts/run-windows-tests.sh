#!/usr/bin/env bash
# Runs the Windows tree's ctest suite (label windows) under Wine, in a fresh prefix inside the build
# tree. Usage: run-windows-tests.sh [build dir] [extra ctest arguments...]
set -euo pipefail
build=$(cd "${1:-build-win}" && pwd)
shift || true
if ! ctest --test-dir "$build" -N -L windows 2>/dev/null | grep -q 'Total Tests: [1-9]'; then
  echo "windows: cross build compiled; no Wine tests registered yet"
  exit 0
fi

# The same prefix the tree's emulator (scripts/wine-run.sh) uses; made fresh for every run.
export WINEDEBUG=-all
export WINEPREFIX="$build/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX" "$WINEPREFIX.ready" "$WINEPREFIX.lock"
mkdir -p "$WINEPREFIX"

# One persistent wineserver for the whole run (every test's wine start reuses it), stopped at the end
# whatever the outcome.
stop=$(cd "$(dirname "$0")" && pwd)/wine-stop.sh
trap 'bash "$stop" "$WINEPREFIX" || true' EXIT
wineserver -p
start=$(date +%s)
# The desktop process that wineboot leaves behind belongs to the display it saw: booted without one,
# it would refuse every window of the gui tests for as long as the server lives. Booted on a private
# Xvfb, it goes with that server, and the first window test's display gets a desktop of its own.
sh "$(dirname "$0")/../tests/gui/with_xvfb.sh" wineboot -i >/dev/null 2>&1
touch "$WINEPREFIX.ready"
echo "windows: Wine prefix ready in $(($(date +%s) - start)) s"

ctest --test-dir "$build" --output-on-failure -L windows -j "$(nproc)" "$@"
