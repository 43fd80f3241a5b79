#!/usr/bin/env bash
# Runs a command under a private Xvfb and stops the server afterwards, whatever the outcome.
# Usage: with_xvfb.sh command [args...]
# The server picks a free display number itself (-displayfd: it skips numbers whose socket or lock
# file exists and takes the lock atomically), so parallel tests and other users' servers never meet.
set -u
tmp=$(mktemp -d "${TMPDIR:-/tmp}/lodrin-xvfb.XXXXXX") || exit 1
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1920x1200x24 3>"$tmp/display" 2>"$tmp/log" &
xvfb_pid=$!
for _ in $(seq 1 100); do
  if [ -s "$tmp/display" ]; then break; fi
  if ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "with_xvfb: Xvfb did not start:" >&2
    cat "$tmp/log" >&2
    exit 1
  fi
  sleep 0.05
done
n=$(tr -dc '0-9' <"$tmp/display")
if [ -z "$n" ]; then
  echo "with_xvfb: Xvfb gave no display number" >&2
  exit 1
fi
export DISPLAY=":$n"
# Mesa's software rasteriser, whatever the machine has.
export LIBGL_ALWAYS_SOFTWARE=1
"$@"
exit $?
