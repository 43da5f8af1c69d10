#!/bin/bash
# The whole program on a 1 GiB AC3 file (a fixture concatenated in $TMPDIR):
# `kavrix big.ac3 out.ac3 -removeDialnorm` (analysis, the pass with the AC3 reader and the
# dialnorm remover, the destination file) against `cp` and `dd` of the same file.
# Warm cache; each figure is the best of three runs.
# Usage: bench/ac3_run_vs_cp.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
kavrix="$build/kavrix"
[ -x "$kavrix" ] || cmake --build "$build" --target kavrix -j2
dir="$(mktemp -d "${TMPDIR:-/tmp}/kavrix-bench-run.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
export HOME="$dir/home" XDG_STATE_HOME="$dir/state" XDG_CONFIG_HOME="$dir/config"
mkdir -p "$HOME"
fixture="$root/tests/fixtures/audio/ac3_51_448.ac3"
file="$dir/big.ac3"
copies=$(( 1024 * 1024 * 1024 / $(stat -c %s "$fixture") ))
for ((i = 0; i < copies; i += 100)); do
  for ((j = 0; j < 100 && i + j < copies; ++j)); do cat "$fixture"; done
done > "$file"

source "$root/bench/lib.sh"
cat "$file" > /dev/null  # warm the cache
printf 'file:      %d MB\n' $(( $(stat -c %s "$file") / 1048576 ))
clean='rm -f "$dir/out.ac3" "$dir/out - Log.txt"'
cp_time=$(best "$clean" cp "$file" "$dir/out.ac3")
dd_time=$(best "$clean" dd if="$file" of="$dir/out.ac3" bs=1M status=none)
run() { (cd "$dir" && "$kavrix" big.ac3 out.ac3 -removeDialnorm); }
# One checked run first: a failing run must not give a figure.
run > /dev/null || { echo "kavrix failed" >&2; exit 1; }
[ "$(stat -c %s "$dir/out.ac3")" = "$(stat -c %s "$file")" ] || { echo "wrong output size" >&2; exit 1; }
eval "$clean"
run_time=$(best "$clean" run)
printf 'cp:        %.3f s\n' "$cp_time"
printf 'dd bs=1M:  %.3f s\n' "$dd_time"
printf 'kavrix:    %.3f s  ratio %.2f of cp, %.2f of dd\n' "$run_time" \
  "$(echo "$run_time / $cp_time" | bc -l)" "$(echo "$run_time / $dd_time" | bc -l)"
