#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the threading core under
# ThreadSanitizer. Builds are incremental (build/, build-asan/, build-tsan/).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
jobs=$(nproc)
"$here/scripts/install-deps.sh" --test

configure() { # dir, extra cmake args...
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$dir" "$@" >/dev/null
  fi
}

echo "== normal build"
configure build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

echo "== address + undefined behaviour sanitizers"
configure build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRIX_SANITIZE=address,undefined
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs" --timeout 900)

echo "== thread sanitizer (threading core)"
configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRIX_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target test_core test_io
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$jobs" --timeout 900 -L 'core|io')

echo "== fuzz targets (short runs; ./fuzz.sh runs them longer)"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKAVRIX_FUZZ=ON -DKAVRIX_TESTS=OFF -DKAVRIX_SANITIZE=address,undefined >/dev/null
fi
cmake --build build-fuzz -j"$jobs" --target fuzz_dts fuzz_ac3
fuzz/run.sh build-fuzz 15

echo "All tests passed."
