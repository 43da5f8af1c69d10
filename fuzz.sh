#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for SECONDS (default 300).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/install-deps.sh" --test
if [ ! -f "$here/build-fuzz/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$here/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKAVRIX_FUZZ=ON -DKAVRIX_TESTS=OFF -DKAVRIX_SANITIZE=address,undefined >/dev/null
fi
cmake --build "$here/build-fuzz" -j"$(nproc)" --target fuzz_dts fuzz_ac3
"$here/fuzz/run.sh" "$here/build-fuzz" "${1:-300}"
