#!/usr/bin/env bash
# Builds and runs the firmware reader benchmark (native build in build/native).
#   tools/bench.sh [ELF]    default: /usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0 (python3.11-dbg)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
(cd "$ROOT" && cmake --preset native >/dev/null)
cmake --build "$ROOT/build/native" -j"$(nproc)" --target bench_elf >/dev/null
exec "$ROOT/out/native/bench/bench_elf" "$@"
