#!/usr/bin/env bash
# Installs what is missing, builds kavrix (Release) and runs it with the given arguments.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/install-deps.sh" >&2
if [ ! -f "$here/build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$here/build" --target kavrix -j"$(nproc)" >/dev/null
exec "$here/build/kavrix" "$@"
