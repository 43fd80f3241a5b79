#!/usr/bin/env bash
# Guards the Windows build's `lodrin-host gui`: the host window must take a child editor made with
# WGL, resize it on request, bring its screenshot back through the debug extension, and report a size
# off the hints (exit 3) and a module without an editor (exit 1) as the Linux build does; and Lodrin's
# own editor must open and draw the frame the Linux build draws (within antialiasing differences).
#
# usage: gui_host.sh WINDOWS_HOST GUI_TEST_MODULE LODRIN_MODULE NATIVE_HOST NATIVE_MODULE WORK_DIR
#                    EMULATOR...
# Needs DISPLAY (run it under tests/gui/with_xvfb.sh). Without the Linux build the comparison is left
# out.
set -uo pipefail
abs() { realpath -m -- "$1"; }
host=$(abs "$1") gui_module=$(abs "$2") module=$(abs "$3")
native_host=$(abs "$4") native_module=$(abs "$5") work=$(abs "$6")
shift 6
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

run none --module "$gui_module" --plugin-id test.no-gui --frames 5
[ "$rc" -eq 1 ] || fail "no editor: exit $rc"
grep -q "offers no clap.gui" none.err || fail "no editor: $(cat none.err)"

# Lodrin's editor, the same stages and settings on both builds.
export LODRIN_SHM="lodrin-gui-host-$$"
# The Linux host's segment object stays until unlinked: remove it however the script ends.
trap 'rm -f "${XDG_RUNTIME_DIR:-/nonexistent}/lodrin/$LODRIN_SHM" "/dev/shm/lodrin-$(id -u)/$LODRIN_SHM" \
  "${HOME:-/nonexistent}/.cache/lodrin/$LODRIN_SHM"' EXIT
run lodrin --module "$module" --stages 2 --frames 60 --screenshot windows.ppm
[ "$rc" -eq 0 ] || fail "Lodrin editor: exit $rc: $(cat lodrin.err)"
printf 'P6\n960 600\n255\n' >expected-header
head -c 15 windows.ppm 2>/dev/null | cmp -s - expected-header || fail "Lodrin screenshot header"
if [ -x "$native_host" ] && [ -f "$native_module" ]; then
  "$native_host" gui --module "$native_module" --stages 2 --frames 60 --screenshot linux.ppm >linux.out 2>&1 ||
    fail "Linux editor: $(cat linux.out)"
  # Both frames show live meters and a history graph of audio that ran for slightly different times,
  # and antialiased edges that the two GL paths may cover differently (a pixel differs when a channel
  # is further apart than 16). The header bar (rows 0 to 39) shows nothing live: there the two ports
  # must agree but for 3 % of the pixels. Over the whole frame the live parts may differ, but a blank,
  # shifted, flipped or miscoloured frame differs nearly everywhere: at most 35 %.
  pixels() { tail -c +16 "$1" | head -c "$2" | od -An -v -tu1 -w3; }
  count_differing() {
    paste <(pixels windows.ppm "$1") <(pixels linux.ppm "$1") | awk '
      { bad = NF != 6; for (i = 1; i <= 3; ++i) { d = $i - $(i + 3); if (d > 16 || d < -16) bad = 1 } n += bad }
      END { print n + 0 }'
  }
  header=$(count_differing $((960 * 40 * 3)))
  whole=$(count_differing $((960 * 600 * 3)))
  echo "Windows and Linux editor frames: $header of $((960 * 40)) header pixels and $whole of $((960 * 600)) pixels differ"
  [ "$header" -le $((960 * 40 * 3 / 100)) ] || fail "Windows and Linux header bars differ in $header pixels"
  [ "$whole" -le $((960 * 600 * 35 / 100)) ] || fail "Windows and Linux frames differ in $whole pixels"
else
  echo "no Linux build: frame comparison left out"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "gui host under Wine: ok"
