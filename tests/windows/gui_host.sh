#!/usr/bin/env bash
# Guards the Windows build's `lodrin-host gui`: the host window must take a child editor made with
# WGL, resize it on request, bring its screenshot back through the debug extension, and report a size
# off the hints (exit 3) and a module without an editor (exit 1) as the Linux build does.
#
# usage: gui_host.sh WINDOWS_HOST GUI_TEST_MODULE LODRIN_MODULE WORK_DIR EMULATOR...
# Needs DISPLAY (run it under tests/gui/with_xvfb.sh).
set -uo pipefail
abs() { realpath -m -- "$1"; }
host=$(abs "$1") gui_module=$(abs "$2") module=$(abs "$3") work=$(abs "$4")
shift 4
emulator=("$@")
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# run NAME ARGS...: the host's stdout and stderr into NAME.out / NAME.err, its exit code into rc.
run() {
  local name=$1
  shift
  "${emulator[@]}" "$host" gui "$@" >"$name.out.raw" 2>"$name.err.raw"
  rc=$?
  tr -d '\r' <"$name.out.raw" >"$name.out"
  tr -d '\r' <"$name.err.raw" >"$name.err"
}

run resize --module "$gui_module" --plugin-id test.gui-resize --frames 30 --screenshot shot.ppm
[ "$rc" -eq 0 ] || fail "resize: exit $rc: $(cat resize.err)"
grep -q "editor 1200x750, 1 resize request(s), screenshot shot.ppm" resize.out || fail "resize: $(cat resize.out)"
printf 'P6\n1200 750\n255\n' >expected-header
head -c 16 shot.ppm 2>/dev/null | cmp -s - expected-header || fail "screenshot header: $(head -c 16 shot.ppm | od -c)"
size=$(stat -c %s shot.ppm 2>/dev/null || echo 0)
[ "$size" -eq $((16 + 1200 * 750 * 3)) ] || fail "screenshot size $size"
# The centre pixel carries the editor's fill colour 51 102 153.
centre=$(od -An -tu1 -j $((16 + (375 * 1200 + 600) * 3)) -N 3 shot.ppm | tr -s ' ')
[ "$centre" = " 51 102 153" ] || fail "centre pixel$centre"

run leaky --module "$gui_module" --plugin-id test.gui-leaky --frames 10
[ "$rc" -eq 3 ] || fail "leaky: exit $rc"
grep -q "not of the hinted aspect ratio 960:600" leaky.err || fail "leaky: $(cat leaky.err)"

run none --module "$module" --frames 5
[ "$rc" -eq 1 ] || fail "no editor: exit $rc"
grep -q "offers no clap.gui" none.err || fail "no editor: $(cat none.err)"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "gui host under Wine: ok"
