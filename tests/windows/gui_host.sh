#!/usr/bin/env bash
# Guards the Windows build's `lodrin-host gui`: the host window must take a child editor made with
# WGL, resize it on request, bring its screenshot back through the debug extension, and report a size
# off the hints (exit 3) and a module without an editor (exit 1) as the Linux build does; and the
# real module's editor must open under Wine's WGL and draw what the Linux build draws: the static
# header strip of its screenshot matches the Linux host's screenshot of the same editor within
# antialiasing differences (when NATIVE_HOST and NATIVE_MODULE name the Linux tree's host and module).
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
# Wine starts its desktop process for the display asynchronously; a host whose top-level window comes
# before it is ready gets no window at all. Such a run is repeated (up to three times), any other
# outcome is final.
run() {
  local name=$1 attempt
  shift
  for attempt in 1 2 3; do
    "${emulator[@]}" "$host" gui "$@" >"$name.out.raw" 2>"$name.err.raw"
    rc=$?
    grep -q "cannot create the host window" "$name.err.raw" || break
    sleep 1
  done
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

# bytes FILE OFFSET COUNT: the bytes as decimal numbers, one per line.
bytes() { od -An -v -tu1 -j "$2" -N "$3" "$1" | tr -s ' ' '\n' | sed '/^$/d'; }

export LODRIN_SHM="lodrin-wine-gui-$$"
run real --module "$module" --frames 30 --screenshot real.ppm
[ "$rc" -eq 0 ] || fail "real module: exit $rc: $(cat real.err)"
grep -q "editor 960x600, 0 resize request(s), screenshot real.ppm" real.out || fail "real module: $(cat real.out)"
printf 'P6\n960 600\n255\n' >expected-real-header
head -c 15 real.ppm 2>/dev/null | cmp -s - expected-real-header || fail "real screenshot header"
size=$(stat -c %s real.ppm 2>/dev/null || echo 0)
[ "$size" -eq $((15 + 960 * 600 * 3)) ] || fail "real screenshot size $size"
if [ -n "${NATIVE_HOST:-}" ] && [ -n "${NATIVE_MODULE:-}" ]; then
  LODRIN_SHM="lodrin-native-gui-$$" "$NATIVE_HOST" gui --module "$NATIVE_MODULE" --frames 30 \
    --screenshot native.ppm >native.out 2>native.err || fail "native host: $(cat native.err)"
  # The header bar (rows 0 to 39) shows no meter: the two ports must agree on it.
  strip=$((960 * 40 * 3))
  verdict=$(paste <(bytes real.ppm 15 "$strip") <(bytes native.ppm 15 "$strip") | awk '
    { d = $1 - $2; if (d < 0) d = -d; sum += d; if (d > 32) far++; n++ }
    END { if (n == 0) { print "empty"; exit } printf "%.3f %d %d", sum / n, far + 0, n }')
  read -r mean far n <<<"$verdict"
  echo "wine vs linux header strip: mean difference $mean, $far of $n bytes off by more than 32"
  awk -v m="$mean" -v f="$far" -v n="$n" 'BEGIN { exit !(m != "" && m <= 2.0 && f * 100 <= n) }' ||
    fail "the Windows editor's header differs from the Linux one ($verdict)"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "gui host under Wine: ok"
