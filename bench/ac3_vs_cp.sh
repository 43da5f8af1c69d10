#!/bin/bash
# Runs the (E-)AC3 reader, and the reader with the dialnorm remover writing a file, over a
# 1 GiB AC3 file (a fixture concatenated in $TMPDIR) and compares with `cp` of the same file.
# Warm cache; each figure is the best of three runs. Target: within 2x of cp.
# Usage: bench/ac3_vs_cp.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bench="$build/bench/bench_ac3"
[ -x "$bench" ] || cmake --build "$build" --target bench_ac3 -j2
dir="$(mktemp -d "${TMPDIR:-/tmp}/kavrix-bench-ac3.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
fixture="$root/tests/fixtures/audio/ac3_51_448.ac3"
file="$dir/big.ac3"
copies=$(( 1024 * 1024 * 1024 / $(stat -c %s "$fixture") ))
for ((i = 0; i < copies; i += 100)); do
  for ((j = 0; j < 100; ++j)); do cat "$fixture"; done
done > "$file"

source "$root/bench/lib.sh"
cat "$file" > /dev/null  # warm the cache
printf 'file:      %d MB\n' $(( $(stat -c %s "$file") / 1048576 ))
cp_time=$(best 'rm -f "$dir/out.ac3"' cp "$file" "$dir/out.ac3")
# cp copies inside the kernel (copy_file_range); dd moves every byte through user space
# once each way, as any program that edits the data must.
dd_time=$(best 'rm -f "$dir/out.ac3"' dd if="$file" of="$dir/out.ac3" bs=1M status=none)
reader_time=$(best 'rm -f "$dir/out.ac3"' "$bench" reader "$file")
dialnorm_time=$(best 'rm -f "$dir/out.ac3"' "$bench" dialnorm "$file" "$dir/out.ac3")
printf 'cp:        %.3f s\n' "$cp_time"
printf 'dd bs=1M:  %.3f s\n' "$dd_time"
printf 'reader:    %.3f s  ratio %.2f\n' "$reader_time" "$(echo "$reader_time / $cp_time" | bc -l)"
printf 'dialnorm:  %.3f s  ratio %.2f (target <= 2.00), %.2f of dd\n' "$dialnorm_time" \
  "$(echo "$dialnorm_time / $cp_time" | bc -l)" "$(echo "$dialnorm_time / $dd_time" | bc -l)"
