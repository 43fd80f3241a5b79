#!/usr/bin/env bash
# wine-stop.sh PREFIX: stops the wineserver of PREFIX, waits for it to end, and removes the socket
# folder Wine made for that prefix under the temporary folder (Wine leaves one behind per prefix).
set -u
export WINEPREFIX=$1
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
[ -d "$WINEPREFIX" ] || exit 0
# Wine names the folder after the prefix's device and inode numbers, in hexadecimal.
key=$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
for d in "${TMPDIR:-/tmp}"/wine-*/"server-$key" "/tmp/.wine-$(id -u)/server-$key"; do
  [ -d "$d" ] || continue
  rm -rf "$d"
  rmdir "$(dirname "$d")" 2>/dev/null || true
done
exit 0
