#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for SECONDS each, seeded from the committed fixtures and
# the regression inputs in fuzz/corpus/<target>/. A crash, leak or timeout fails the run; the
# input that caused it is left in the working folder (crash-*, leak-*, timeout-*).
# Usage: fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=$2
fixtures=$root/tests/fixtures

seeds() {  # target → seed files
  case $1 in
    fuzz_dts) ls "$fixtures"/audio/*.dts ;;
    fuzz_ac3) ls "$fixtures"/audio/*.ac3 "$fixtures"/audio/*.eac3 ;;
  esac
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrix-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$work/$name
  mkdir -p "$corpus"
  for f in $(seeds "$name"); do cp "$f" "$corpus/"; done
  if [ -d "$root/fuzz/corpus/$name" ]; then cp "$root/fuzz/corpus/$name"/* "$corpus/" 2>/dev/null || true; fi
  echo "== $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$target" -max_total_time="$seconds" -max_len=131072 -timeout=25 -print_final_stats=1 \
      "$corpus" > "$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$name.log" || true
  fi
done
exit $status
