#!/usr/bin/env bash
# wine_gui.sh PREFIX COMMAND [ARGS...]: runs COMMAND with Wine pointed at a prefix of its own, then
# stops that prefix's wineserver. Wine binds its desktop to the display of the first program a
# wineserver runs, so a test on its own Xvfb cannot share the suite's prefix (whose desktop started
# without a display); the fresh server also dies with the test's display.
set -u
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$@"
rc=$?
bash "$(dirname "$0")/../../scripts/wine-stop.sh" "$WINEPREFIX"
exit $rc
