#!/usr/bin/env bash
# Runs every suite of `make test` in turn, goes on after a failure, and ends with one summary line.
#   native unit tests (ctest), the same under ASan+UBSan and under TSan, the Windows build of the
#   unit tests under Wine, the loader images and their checks, the e2e suite under Wine + Xvfb,
#   and a short run of every fuzz target with a fixed seed.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
JOBS=$(nproc)
FUZZ_SECONDS=${KX_FUZZ_SECONDS:-15}   # per fuzz target
passed=0; failed=0; failed_names=()

suite() {
  local name="$1"; shift
  echo
  echo "=== $name ==="
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1)); echo "=== $name: ok ($((SECONDS - start)) s) ==="
  else
    failed=$((failed + 1)); failed_names+=("$name"); echo "=== $name: FAILED ($((SECONDS - start)) s) ==="
  fi
}

build_preset() {
  cmake --preset "$1" >/dev/null && cmake --build "build/$1" -j"$JOBS" 2>&1 | grep -v -E '^\[ *[0-9]+%\]|^(Consolidate|Scanning|Built target)'
  return "${PIPESTATUS[0]}"
}

ctest_in() { (cd "build/$1" && ctest --output-on-failure -j"$JOBS" --timeout 600); }

suite "native build" build_preset native
suite "native unit tests" ctest_in native
suite "asan build" build_preset asan
suite "unit tests under ASan+UBSan" ctest_in asan
suite "tsan build" build_preset tsan
suite "unit tests under TSan" ctest_in tsan
suite "win64 build" build_preset win64
suite "unit tests under Wine" tools/wine_rig.sh unit out/win64/tests/kx_unit_tests.exe
if [ -x tools/build_loaders.sh ]; then
  suite "flash-loader images" tools/build_loaders.sh
fi
suite "e2e under Wine + Xvfb" tools/wine_rig.sh e2e
if [ -x tools/fuzz.sh ] && [ "$FUZZ_SECONDS" -gt 0 ]; then
  suite "fuzzing (${FUZZ_SECONDS} s per target)" env KX_FUZZ_SEED="${KX_FUZZ_SEED:-20261209}" tools/fuzz.sh "$FUZZ_SECONDS"
fi

echo
[ $failed -gt 0 ] && echo "failed suites: ${failed_names[*]}"
echo "suites: $passed passed, $failed failed"
[ $failed -eq 0 ]
