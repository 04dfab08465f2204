#!/usr/bin/env bash
# Builds the ELF reader fuzzer with clang in build/fuzz and runs it for SECONDS (default 60),
# seeded with the test firmware images: GCC and clang C and C++ builds, DWARF 2 to 5, type units
# (.debug_types and DWARF 5 type units) and clang's merged globals (location expressions). Exits non-zero when the fuzzer finds a crash, a hang
# or a sanitizer report; the reproducer is left in build/fuzz/artifacts/.
set -euo pipefail
SECONDS_TO_RUN=${1:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/fuzz
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target fuzz_elf_open kx_test_firmware >/dev/null
mkdir -p "$BUILD/corpus" "$BUILD/artifacts" "$BUILD/seeds"
cp -f "$BUILD"/tests/firmware/*.elf "$BUILD/seeds/" 2>/dev/null || true
echo "fuzz: elf_open for ${SECONDS_TO_RUN}s (corpus $BUILD/corpus)"
status=0
# KX_FUZZ_SEED fixes libFuzzer's seed (make test uses one, so a failure there reproduces);
# `make fuzz` leaves it random.
SEED_ARGS=()
[ -n "${KX_FUZZ_SEED:-}" ] && SEED_ARGS=(-seed="$KX_FUZZ_SEED")
"$BUILD/fuzz/fuzz_elf_open" "${SEED_ARGS[@]}" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/" \
    "$BUILD/corpus" "$BUILD/seeds" >"$BUILD/fuzz.log" 2>&1 || status=$?
grep -E "^#[0-9]+.*DONE|stat::number_of_executed_units|SUMMARY|ERROR|Test unit written" "$BUILD/fuzz.log" || true
if [ "$status" -ne 0 ]; then
    echo "fuzz: FAILED (exit $status); log: $BUILD/fuzz.log" >&2
    tail -40 "$BUILD/fuzz.log" >&2
    exit 1
fi
echo "fuzz: passed"
