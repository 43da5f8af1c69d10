#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing kavrix need.
# Fast when everything is present: only missing packages are asked for.
set -euo pipefail

build_pkgs=(g++ cmake make pkg-config libgtest-dev libgmock-dev
  libavcodec-dev libavformat-dev libavutil-dev libavfilter-dev libswresample-dev
  libflac-dev libsoxr-dev)
test_pkgs=(ffmpeg flac sox mkvtoolnix mediainfo python3 bc clang libclang-rt-14-dev)

want=("${build_pkgs[@]}")
if [ "${1:-}" = "--test" ]; then want+=("${test_pkgs[@]}"); fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq || true
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
