#!/usr/bin/env bash
# Builds the three flash-loader images with arm-none-eabi-gcc and installs them beside the
# executable (out/win64/loaders/loader-<id>.stldr).
#   tools/build_loaders.sh [BUILD_DIR [INSTALL_DIR]]   defaults: build/loaders, out/win64/loaders
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build/loaders}"
install_dir="${2:-$root/out/win64/loaders}"
if ! command -v arm-none-eabi-gcc >/dev/null; then
  echo "build_loaders: arm-none-eabi-gcc not found (tools/deps.sh installs it)" >&2
  exit 1
fi
if [ "$build_dir" = "$root/build/loaders" ]; then
  cmake --preset loaders -DLOADER_OUT="$install_dir" >/dev/null
else
  cmake -S "$root" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-none-eabi.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DLOADER_OUT="$install_dir" >/dev/null
fi
cmake --build "$build_dir" -j"$(nproc)"
