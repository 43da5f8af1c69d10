#!/bin/bash
# Compares reading a 1 GiB file through the source file set with `cat FILE > /dev/null`.
# Both run with a warm cache; each takes the best of three runs.
# Usage: bench/source_vs_cat.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bench="$build/bench/bench_source"
[ -x "$bench" ] || cmake --build "$build" --target bench_source -j2
dir="$(mktemp -d "${TMPDIR:-/tmp}/kavrix-bench.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
file="$dir/source.bin"
head -c 1073741824 /dev/urandom > "$file"

source "$root/bench/lib.sh"
cat "$file" > /dev/null  # warm the cache
cat_time=$(best ':' cat "$file")
source_time=$(best ':' "$bench" "$file")
printf 'cat:          %.3f s\n' "$cat_time"
printf 'bench_source: %.3f s\n' "$source_time"
printf 'ratio:        %.2f (target <= 1.30)\n' "$(echo "$source_time / $cat_time" | bc -l)"
