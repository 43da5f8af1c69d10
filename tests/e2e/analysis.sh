#!/usr/bin/env bash
# The analysis as a user meets it: the description of AC3 and E-AC3 files, the error for data
# nobody recognises, and a plain listing ending with exit code 0.
# $1 = the kavrix binary, $2 = the fixtures folder.
set -u
kavrix=$1
fixtures=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_STATE_HOME=$tmp/state XDG_CONFIG_HOME=$tmp/config
mkdir -p "$HOME"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

expect() {  # file, exit code, exact output
  local out rc
  out=$("$kavrix" "$1" 2>&1); rc=$?
  [ $rc -eq "$2" ] || fail "$1: exit $rc"
  [ "$out" = "$3" ] || fail "$1: output: $out"
}

expect "$fixtures/audio/ac3_51_448.ac3" 0 "AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -27dB"
expect "$fixtures/audio/eac3_51_640.eac3" 0 "E-AC3, 5.1 channels, 0:00:01, 640kbps, 48kHz, dialnorm: -24dB"
expect "$fixtures/audio/eac3_20_192.eac3" 0 "E-AC3, 2.0 channels, 0:00:01, 192kbps, 48kHz, dialnorm: -31dB"

head -c 20000 /dev/urandom >"$tmp/random.bin"
expect "$tmp/random.bin" 1 "The format of the source file could not be detected."
grep -qx 'The format of the source file could not be detected.  <ERROR>' "$XDG_STATE_HOME/kavrix/log.txt" ||
  fail "the detection error is not in the log"

# A source that cannot be found is refused.
"$kavrix" "$tmp/missing.ac3" >/dev/null 2>&1 && fail "a missing source gave exit 0"

# With a destination the description comes first, then the run takes over.
out=$("$kavrix" "$fixtures/audio/ac3_51_448.ac3" "$tmp/out.wav" 2>&1); rc=$?
[ $rc -eq 0 ] || fail "with a destination: exit $rc"
[ "$(printf '%s\n' "$out" | tail -1)" = "Done." ] || fail "with a destination: $out"
[ "$(printf '%s\n' "$out" | head -1)" = "AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -27dB" ] ||
  fail "with a destination: $out"

[ $failures -eq 0 ] && echo "analysis: all passed"
exit $((failures > 0))
