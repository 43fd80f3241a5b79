#!/usr/bin/env bash
# Guards the promise that a project moves between Linux and Windows: a state saved by one build's
# module must load in the other's and save back to the same bytes, both builds must show the same
# parameter texts, and the same programme through the same stages gives the same samples. A difference
# in byte order, padding, float formatting or parsing, or in the order of floating-point operations,
# breaks it.
#
# usage: state_exchange.sh NATIVE_HOST NATIVE_MODULE WINDOWS_HOST WINDOWS_MODULE WORK_DIR EMULATOR...
# (the modules are both CLAP modules or both VST3 bundles)
# Exits 77 (skipped) when the Linux build is not there.
set -euo pipefail
abs() { realpath -m -- "$1"; }
native_host=$(abs "$1") native_module=$(abs "$2") win_host=$(abs "$3") win_module=$(abs "$4") work=$(abs "$5")
shift 5
emulator=("$@")
if [ ! -x "$native_host" ] || [ ! -e "$native_module" ]; then
  echo "no Linux build at $native_host / $native_module: skipped"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
cd "$work"
export LODRIN_SHM="lodrin-exchange-$$"
# The Linux module leaves its segment object behind (POSIX objects live until unlinked): remove it
# however the script ends.
remove_segment() {
  if [ -n "${XDG_RUNTIME_DIR:-}" ]; then rm -f "$XDG_RUNTIME_DIR/lodrin/$LODRIN_SHM"; fi
  rm -f "/dev/shm/lodrin-$(id -u)/$LODRIN_SHM"
  if [ -n "${HOME:-}" ]; then rm -f "$HOME/.cache/lodrin/$LODRIN_SHM"; fi
}
trap remove_segment EXIT

linux() { "$native_host" "$@" --module "$native_module"; }
# Under a loaded machine Wine now and then ends a program before it has run (an exit status and not a
# byte of output); such a run is made once more, and said so. A program that fails having run fails.
windows() {
  local out rc=0
  out=$("${emulator[@]}" "$win_host" "$@" --module "$win_module" 2>windows-stderr.txt) || rc=$?
  if [ "$rc" -ne 0 ] && [ -z "$out" ]; then
    echo "windows: $* ended with $rc before printing anything; once more" >&2
    cat windows-stderr.txt >&2
    rc=0
    out=$("${emulator[@]}" "$win_host" "$@" --module "$win_module" 2>windows-stderr.txt) || rc=$?
  fi
  cat windows-stderr.txt >&2
  if [ -n "$out" ]; then printf '%s\n' "$out" | tr -d '\r'; fi
  return "$rc"
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
same_bytes() { # what, expected file, actual file
  if ! cmp -s "$2" "$3"; then
    fail "$1: $3 differs from $2"
    cmp -l "$2" "$3" | head -5 || true
  fi
}
# The value and text lines a load prints (without the lines naming files).
values_of() { grep ' = ' "$1" || true; }

# 1. Saved by Linux, loaded and saved again by Windows.
linux state save linux.state --set Gain=6.5 --set "Stereo link=42.5" --set Style=3 --set Group=2 \
  --set Lookahead=2.7 --set Mix=87.25 --set Release=333.3 --set Input=-3.1 >/dev/null
windows state load linux.state --save-again windows-from-linux.state >windows-load.txt
linux state load linux.state >linux-load.txt
same_bytes "Linux state through the Windows module" linux.state windows-from-linux.state
values_of linux-load.txt >a.txt
values_of windows-load.txt >b.txt
[ -s a.txt ] || fail "the Linux load printed no values"
diff a.txt b.txt || fail "values or texts after loading the Linux state differ"

# 2. Saved by Windows, loaded and saved again by Linux.
windows state save windows.state --set Gain=11.25 --set Ceiling=-1.7 --set Dither=2 \
  --set "Noise shaping=1" --set Bypass=1 --set Stage=4 --set Release=1999.9 >/dev/null
linux state load windows.state --save-again linux-from-windows.state >/dev/null
same_bytes "Windows state through the Linux module" windows.state linux-from-windows.state

# 3. A state with MIDI bindings and editor settings that no command line can make: the first chunk of
#    the Linux state, then Gain (id 2) on CC 11 and Mix (id 15) on CC 7, then the UI chunk with
#    controls closed, grid open, integrated readout, front spread, target row 4, zoom 1.5 and a
#    custom target of -23 LUFS.
{
  head -c 224 linux.state
  printf 'MIDI\x02\x00\x00\x00'
  printf '\x02\x00\x00\x00\x0b\x00\x00\x00\x0f\x00\x00\x00\x07\x00\x00\x00'
  printf 'UI01\x00\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x04\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\xf8\x3f\x00\x00\x00\x00\x00\x00\x37\xc0'
} >bound.state
linux state load bound.state --save-again linux-bound.state >/dev/null
windows state load bound.state --save-again windows-bound.state >/dev/null
same_bytes "bound state through the Linux module" bound.state linux-bound.state
same_bytes "bound state through the Windows module" bound.state windows-bound.state

# 4. The parameter list and the value texts of a few settings.
linux params list >linux-params.txt
windows params list >windows-params.txt
diff linux-params.txt windows-params.txt || fail "parameter lists differ"
# Halfway cases (0.25 to one decimal, 12.5 to none) round to even in a C99 printf; a runtime that
# rounds them away from zero would show other texts.
for v in "Gain 0.25" "Gain 0.125" "Release 12.5" "Ceiling -0.05" "Release 5" "Release 1999.95" "Style 2.5" "Group 15" "Lookahead 0.1" \
  "Mix 33.333333333333336" "Input -24" "Stereo link 99.95"; do
  name=${v% *} value=${v##* }
  a=$(linux params text "$name" "$value")
  b=$(windows params text "$name" "$value")
  [ "$a" = "$b" ] || fail "text of $name $value: Linux \"$a\", Windows \"$b\""
done

for v in "Gain|6.5 dB" "Ceiling|-0.3" "Release|1.5 s" "Style|ag" "Group|c" "Stereo link|50%" "Mix|12.5 %"; do
  name=${v%%|*} text=${v#*|}
  a=$(linux params value "$name" "$text" || true)
  b=$(windows params value "$name" "$text" || true)
  [ "$a" = "$b" ] || fail "value of $name \"$text\": Linux \"$a\", Windows \"$b\""
done

# 5. The demo programme through three stages, without dither (its noise is seeded at random): the
#    same samples from both modules. The files' headers differ (libsndfile adds chunks of its own), so
#    the sample data of the plain 44-byte-header Windows file is compared with the Linux file's end.
render_args=(render --demo --seconds 3 --stages 3 --set 1:Gain=4 --set 2:Style=2 --set 3:Gain=3
  --set 3:Release=20 --set 2:Lookahead=5 --set "3:Stereo link=30")
linux "${render_args[@]}" -o linux.wav >/dev/null
windows "${render_args[@]}" -o windows.wav >/dev/null
data=$(($(stat -c %s windows.wav) - 44))
if [ "$data" -le 0 ] || ! cmp -s <(tail -c "$data" linux.wav) <(tail -c "$data" windows.wav); then
  fail "the demo render differs between the Linux and the Windows module"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "state and texts agree between the Linux and the Windows module"
