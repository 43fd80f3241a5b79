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
    # A prefix left half made (a boot that failed or was killed) fails every later program: boot into
    # an empty folder, and on failure clear it and try again, saying what the boot printed.
    for attempt in 1 2 3; do
      rm -rf "$WINEPREFIX"
      mkdir -p "$WINEPREFIX"
      rc=0
      wineboot -i >"$WINEPREFIX.boot.log" 2>&1 || rc=$?
      if [ "$rc" -eq 0 ] && [ -e "$WINEPREFIX/dosdevices/z:" ]; then
        touch "$ready"
        break
      fi
      echo "wine-run: booting $WINEPREFIX failed (attempt $attempt, exit $rc):" >&2
      tail -n 20 "$WINEPREFIX.boot.log" >&2
      wineserver -k >/dev/null 2>&1 || true
      wineserver -w >/dev/null 2>&1 || true
    done
    [ -e "$ready" ] || exit 1
  fi
  flock -u 9
  exec 9>&-
fi

# Debian's wine launcher only adds a warning about the missing 32-bit half; the programs are 64-bit.
if [ -x /usr/lib/wine/wine64 ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
