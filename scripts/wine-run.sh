#!/usr/bin/env bash
# Runs one program of the Windows tree under Wine (the tree's CMAKE_CROSSCOMPILING_EMULATOR): Wine
# quiet, in the prefix named by WINEPREFIX. The prefix is made once, under a lock, so that tests that
# ctest starts in parallel never race on a half-made prefix.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer during prefix creation: nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

ready="$WINEPREFIX.ready"
if [ ! -e "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -e "$ready" ]; then
    wineboot -i >/dev/null 2>&1
    touch "$ready"
  fi
  flock -u 9
  exec 9>&-
fi

# Debian's wine launcher only adds a warning about the missing 32-bit half; the programs are 64-bit.
if [ -x /usr/lib/wine/wine64 ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
