#!/usr/bin/env bash
# Builds and runs the benchmarks (native build in build/native):
#   bench_elf          the firmware reader against readelf and gdb
#                      (default ELF: /usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0 from python3.11-dbg)
#   bench_acquisition  the acquisition pipeline with a zero-latency in-process driver
#   bench_replay       recording throughput, the load-all replay of a 10-million-row CSV against
#                      pandas.read_csv (python3-pandas), memory per sample, redraws at random zooms
#   bench_chart        waveform window: sample appends and 1280x720 frames on the software surface
#   tools/bench.sh [ELF]
# Exits 1 when a benchmark misses its target.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
(cd "$ROOT" && cmake --preset native >/dev/null)
cmake --build "$ROOT/build/native" -j"$(nproc)" --target bench_elf bench_acquisition bench_chart bench_replay >/dev/null || exit 1
rc=0
echo "== firmware reader =="
"$ROOT/out/native/bench/bench_elf" "$@" || rc=1
echo
echo "== acquisition pipeline =="
"$ROOT/out/native/bench/bench_acquisition" 1.0 || rc=1
echo
echo "== recording and replay =="
"$ROOT/out/native/bench/bench_replay" || rc=1
echo
echo "== waveform window =="
"$ROOT/out/native/bench/bench_chart" || rc=1
exit $rc
