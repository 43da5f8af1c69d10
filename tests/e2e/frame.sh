#!/usr/bin/env bash
# The program frame as a user meets it: usage, exit codes, log files, colours.
# $1 = the kavrix binary, $2 = the fixtures folder.
set -u
kavrix=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_STATE_HOME=$tmp/state XDG_CONFIG_HOME=$tmp/config
mkdir -p "$HOME"
unset NO_COLOR
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
esc=$'\x1b'

# No arguments: banner and usage, exit 0, no control bytes when redirected.
(cd "$tmp" && "$kavrix") >"$tmp/usage.txt" 2>"$tmp/usage.err"; rc=$?
[ $rc -eq 0 ] || fail "no arguments: exit $rc"
head -1 "$tmp/usage.txt" | grep -Eq '^kavrix_mod v[0-9]+\.[0-9]{2}$' || fail "banner: $(head -1 "$tmp/usage.txt")"
grep -qx 'Codec libraries:' "$tmp/usage.txt" || fail "no codec section"
grep -q "$esc" "$tmp/usage.txt" && fail "ESC byte in redirected output"
grep -q ' $' "$tmp/usage.txt" && fail "padding in redirected output"
[ -s "$tmp/usage.err" ] && fail "stderr not empty: $(cat "$tmp/usage.err")"
[ -f "$XDG_STATE_HOME/kavrix/log.txt" ] || fail "no log.txt after the usage"

# An unknown option: exit 1, the error, log.txt written with the tag.
rm -rf "$XDG_STATE_HOME"
out=$(cd "$tmp" && "$kavrix" -noSuchOption 2>&1); rc=$?
[ $rc -eq 1 ] || fail "unknown option: exit $rc"
[ "$out" = "Please specify the source and dest files first and then the options." ] || fail "unknown option output: $out"
log=$XDG_STATE_HOME/kavrix/log.txt
grep -qx 'command line: .*kavrix -noSuchOption' "$log" || fail "command line in log: $(cat "$log")"
grep -qx 'Please specify the source and dest files first and then the options.  <ERROR>' "$log" || fail "error in log"
grep -q $'\r' "$log" && fail "CR in log.txt"

# -log= in a folder that does not exist: only log.txt.
rm -rf "$XDG_STATE_HOME"
(cd "$tmp" && "$kavrix" "-log=$tmp/missing/x.txt" -noSuchOption) >/dev/null 2>&1; rc=$?
[ $rc -eq 1 ] || fail "-log= missing folder: exit $rc"
[ -e "$tmp/missing" ] && fail "the missing folder was created"
[ -f "$log" ] || fail "no log.txt with -log= in a missing folder"
# -log= in an existing folder: both files, the same text; the quoted argument in the log.
(cd "$tmp" && "$kavrix" "-log=$tmp/my log.txt" 'a b.thd') >/dev/null 2>&1
cmp -s "$tmp/my log.txt" "$log" || fail "-log= file differs from log.txt"
grep -q "command line: .*'-log=$tmp/my log.txt' 'a b.thd'" "$log" || fail "quoting in the log: $(sed -n 2p "$log")"

# Colours only on a terminal (script gives the program a pseudo-terminal).
if command -v script >/dev/null; then
  TERM=xterm script -qec "cd '$tmp' && '$kavrix' -noSuchOption" /dev/null >"$tmp/tty.txt" 2>&1
  grep -q "${esc}\[97;41mPlease specify the source" "$tmp/tty.txt" || fail "no red error on a terminal: $(od -c "$tmp/tty.txt" | head -3)"
  TERM=xterm NO_COLOR=1 script -qec "cd '$tmp' && '$kavrix' -noSuchOption" /dev/null >"$tmp/tty2.txt" 2>&1
  grep -q "$esc" "$tmp/tty2.txt" && fail "colours despite NO_COLOR"
  TERM=dumb script -qec "cd '$tmp' && '$kavrix'" /dev/null >"$tmp/tty3.txt" 2>&1
  grep -q "$esc" "$tmp/tty3.txt" && fail "colours on a dumb terminal"
fi

# A closed pipe does not kill the program with SIGPIPE.
cd "$tmp"
"$kavrix" | head -c 10 >/dev/null
rc=${PIPESTATUS[0]}
cd - >/dev/null
[ "$rc" -lt 128 ] || fail "killed by a signal on a closed pipe ($rc)"

# Nothing was written into the home folder except what the XDG variables point to.
[ -z "$(ls -A "$HOME")" ] || fail "files in HOME: $(ls -A "$HOME")"

[ $failures -eq 0 ] && echo "frame: all checks passed"
exit $failures
