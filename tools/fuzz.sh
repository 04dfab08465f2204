#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/CMakeLists.txt, clang, build/fuzz) and runs each for SECONDS
# (default 60) in turn.
#   tools/fuzz.sh [SECONDS] [NAME...]     NAME limits the run to those targets (fuzz_layout ...)
# Every executable fuzz_* in build/fuzz/bin is run, with
#   corpus     build/fuzz/corpus/<name>/   (kept between runs, grows)
#   seeds      fuzz/seeds/<name>/ and build/fuzz/seeds/<name>/ (generated: test firmware images)
#   dictionary fuzz/seeds/<name>.dict when it exists
#   options    fuzz/seeds/<name>.options when it exists: extra libFuzzer flags, one line
#   log        build/fuzz/logs/<name>.log; a reproducer lands in build/fuzz/artifacts/<name>/
# KX_FUZZ_SEED fixes libFuzzer's seed (make test uses one, so a failure there reproduces);
# `make fuzz` leaves it random. KX_FUZZ_PARALLEL runs that many targets at once (default 1).
# Exits non-zero when any target finds a crash, a hang, a leak or a sanitizer report.
# The ELF reader's seeds are the test firmware images: GCC and clang C and C++ builds, DWARF 2 to 5,
# type units and clang's merged globals (location expressions).
set -euo pipefail
SECONDS_TO_RUN=${1:-60}
shift || true
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/fuzz
PARALLEL=${KX_FUZZ_PARALLEL:-1}
JOBS=${JOBS:-$(nproc)}

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=OFF >/dev/null
if ! cmake --build "$BUILD" -j"$JOBS" --target kx_fuzzers >"$BUILD/build.log" 2>&1; then
    grep -E "error|Error" "$BUILD/build.log" | head -20 >&2
    echo "fuzz: build FAILED; log: $BUILD/build.log" >&2
    exit 1
fi

# The ELF reader starts from the test firmware (built by the arm and host compilers when present).
mkdir -p "$BUILD/seeds/fuzz_elf_open" "$BUILD/logs"
if cmake --build "$BUILD" -j"$JOBS" --target kx_test_firmware >/dev/null 2>&1; then
    cp -f "$BUILD"/tests/firmware/*.elf "$BUILD/seeds/fuzz_elf_open/" 2>/dev/null || true
fi

targets=()
if [ $# -gt 0 ]; then
    for name in "$@"; do targets+=("$BUILD/bin/$name"); done
else
    for exe in "$BUILD"/bin/fuzz_*; do [ -x "$exe" ] && targets+=("$exe"); done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no fuzz_* target in $BUILD/bin" >&2; exit 1; }

SEED_ARGS=()
[ -n "${KX_FUZZ_SEED:-}" ] && SEED_ARGS=(-seed="$KX_FUZZ_SEED")

# Runs one target; its exit status is the fuzzer's.
run_target() {
    local exe=$1 name
    name=$(basename "$exe")
    local corpus=$BUILD/corpus/$name artifacts=$BUILD/artifacts/$name
    mkdir -p "$corpus" "$artifacts"
    local dirs=("$corpus")
    [ -d "$ROOT/fuzz/seeds/$name" ] && dirs+=("$ROOT/fuzz/seeds/$name")
    [ -d "$BUILD/seeds/$name" ] && dirs+=("$BUILD/seeds/$name")
    local extra=()
    [ -f "$ROOT/fuzz/seeds/$name.dict" ] && extra+=(-dict="$ROOT/fuzz/seeds/$name.dict")
    if [ -f "$ROOT/fuzz/seeds/$name.options" ]; then
        read -r -a opts <"$ROOT/fuzz/seeds/$name.options"
        extra+=("${opts[@]}")
    fi
    # -reload=0: one process per corpus, so nothing else adds to it while it runs (the default
    # rereads the corpus folder every second).
    # -entropic_feature_frequency_threshold=1: the scheduler keeps in its rare-feature list every
    # feature seen at most this many times (default 255) besides the 100 rarest, and searches that
    # list linearly for most features of every run. After a corpus of thousands of inputs is
    # loaded, nearly every feature qualifies: the search took a third of each run of the ELF
    # reader. At 1 the list is the 100 rarest features, which is what the scheduler weighs inputs
    # by; the ELF reader gets about 1.8 times the runs, the others up to 1.2 times.
    "$exe" "${SEED_ARGS[@]}" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 -reload=0 \
        -entropic_feature_frequency_threshold=1 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" "${dirs[@]}" \
        >"$BUILD/logs/$name.log" 2>&1
}

# One summary line per target: name, executions, executions per second, result.
report_target() {
    local name=$1 status=$2 log=$BUILD/logs/$1.log runs speed
    runs=$(grep -oE "stat::number_of_executed_units: *[0-9]+" "$log" | grep -oE "[0-9]+$" || echo "?")
    speed=$(grep -oE "stat::average_exec_per_sec: *[0-9]+" "$log" | grep -oE "[0-9]+$" || echo "?")
    if [ "$status" -eq 0 ]; then
        printf "fuzz: %-26s %12s runs %8s/s  ok\n" "$name" "$runs" "$speed"
    else
        printf "fuzz: %-26s %12s runs %8s/s  FAILED (exit %s), log %s\n" "$name" "$runs" "$speed" "$status" "$log" >&2
        grep -E "SUMMARY|ERROR|Test unit written|runtime error" "$log" | head -8 >&2 || true
    fi
}

echo "fuzz: ${#targets[@]} targets, ${SECONDS_TO_RUN}s each, ${PARALLEL} at a time${KX_FUZZ_SEED:+, seed $KX_FUZZ_SEED}"
failed=()
declare -A names=()   # running pid -> target name
reap_one() {
    local pid status=0
    wait -n -p pid "${!names[@]}" || status=$?
    report_target "${names[$pid]}" "$status"
    [ "$status" -eq 0 ] || failed+=("${names[$pid]}")
    unset "names[$pid]"
}
for exe in "${targets[@]}"; do
    if [ ! -x "$exe" ]; then
        echo "fuzz: no such target $(basename "$exe")" >&2; failed+=("$(basename "$exe")"); continue
    fi
    while [ ${#names[@]} -ge "$PARALLEL" ]; do reap_one; done
    run_target "$exe" &
    names[$!]=$(basename "$exe")
done
while [ ${#names[@]} -gt 0 ]; do reap_one; done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: passed"
