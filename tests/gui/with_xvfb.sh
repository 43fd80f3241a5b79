#!/bin/sh
# with_xvfb.sh COMMAND [ARGS...]: runs COMMAND with DISPLAY set to a private Xvfb that this script
# starts on a display number the server picks itself and kills when COMMAND ends, also on failure or
# interruption. The exit status is COMMAND's.
set -u
fifo_dir=$(mktemp -d) || exit 1
fifo=$fifo_dir/displayfd
mkfifo "$fifo" || { rm -rf "$fifo_dir"; exit 1; }
Xvfb -displayfd 3 -nolisten tcp -screen 0 1920x1200x24 +extension GLX -noreset 3>"$fifo" \
    >/dev/null 2>"$fifo_dir/log" &
xvfb_pid=$!
cleanup() {
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  rm -rf "$fifo_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# A bound of wall-clock time that holds on a busy machine.
number=$(timeout 30 head -n 1 "$fifo")
if [ -z "$number" ]; then
  echo "with_xvfb: Xvfb did not start:" >&2
  cat "$fifo_dir/log" >&2
  exit 1
fi
DISPLAY=:$number
export DISPLAY
# Mesa's software rasteriser, whatever the machine has.
LIBGL_ALWAYS_SOFTWARE=1
export LIBGL_ALWAYS_SOFTWARE
"$@"
