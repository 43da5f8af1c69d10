#!/bin/bash
# Decoding a one-hour AC3 5.1 track (a fixture concatenated in $TMPDIR) to a 24-bit WAV:
# `kavrix big.ac3 out.wav` against `ffmpeg -i big.ac3 -c:a pcm_s24le out.wav`.
# Warm cache; each figure is the best of three runs. Target: ratio at most 1.0.
# Usage: bench/ac3_to_wav_vs_ffmpeg.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
kavrix="$build/kavrix"
[ -x "$kavrix" ] || cmake --build "$build" --target kavrix -j2
dir="$(mktemp -d "${TMPDIR:-/tmp}/kavrix-bench-wav.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
export HOME="$dir/home" XDG_STATE_HOME="$dir/state" XDG_CONFIG_HOME="$dir/config"
mkdir -p "$HOME"
fixture="$root/tests/fixtures/audio/ac3_51_448.ac3"
file="$dir/big.ac3"
# The fixture lasts 1.5 s (47 frames of 32 ms); 2,400 copies are an hour.
for ((i = 0; i < 2400; ++i)); do cat "$fixture"; done > "$file"

source "$root/bench/lib.sh"
cat "$file" > /dev/null  # warm the cache
printf 'file:      %d MB\n' $(( $(stat -c %s "$file") / 1048576 ))
clean='rm -f "$dir/out.wav" "$dir/out - Log.txt"'
run() { (cd "$dir" && "$kavrix" big.ac3 out.wav); }
run > /dev/null || { echo "kavrix failed" >&2; exit 1; }
eval "$clean"
ffmpeg_time=$(best "$clean" ffmpeg -v error -nostdin -y -i "$file" -c:a pcm_s24le "$dir/out.wav")
run_time=$(best "$clean" run)
printf 'ffmpeg:    %.3f s\n' "$ffmpeg_time"
printf 'kavrix:    %.3f s  ratio %.2f (target <= 1.00)\n' "$run_time" \
  "$(echo "$run_time / $ffmpeg_time" | bc -l)"
