#!/usr/bin/env bash
# Hunts tests that fail by timing (developers only, not part of `make test`): the native, ASan and
# TSan unit suites with every test repeated until it fails (at most KX_REPEAT times, default 20,
# all cores), then the e2e suite KX_E2E_ROUNDS times (default 3) without reruns. Ends with every
# test that failed at least once and how often; exits non-zero when there was one.
#   tools/test_repeat.sh [native] [asan] [tsan] [e2e]     (default: all four)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
JOBS=$(nproc)
REPEAT=${KX_REPEAT:-20}
ROUNDS=${KX_E2E_ROUNDS:-3}
LOGS="$ROOT/build/test-repeat"
mkdir -p "$LOGS"
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(native asan tsan e2e)
declare -A failures=()   # "suite: test" -> times it failed
summary=()

note_failure() { failures["$1"]=$(( ${failures["$1"]:-0} + 1 )); }

unit_suite() {
  local preset=$1 start=$SECONDS log="$LOGS/$1.log"
  echo "=== $preset unit tests: every test up to $REPEAT times ==="
  if ! { cmake --preset "$preset" >/dev/null && cmake --build "build/$preset" -j"$JOBS" >"$LOGS/$preset-build.log" 2>&1; }; then
    echo "$preset: build FAILED (see $LOGS/$preset-build.log)"; note_failure "$preset: build"; return
  fi
  rm -f "build/$preset/Testing/Temporary/LastTestsFailed.log"
  (cd "build/$preset" && ctest --repeat until-fail:"$REPEAT" -j"$JOBS" --timeout 900 --output-on-failure) >"$log" 2>&1
  local failed_file="build/$preset/Testing/Temporary/LastTestsFailed.log" name
  if [ -f "$failed_file" ]; then
    while IFS= read -r line; do
      name=${line#*:}
      note_failure "$preset: $name"
    done <"$failed_file"
  fi
  summary+=("$preset: $(grep -E 'tests passed' "$log" | tail -1) ($((SECONDS - start)) s, log $log)")
}

e2e_round() {
  local round=$1 start=$SECONDS log="$LOGS/e2e-$1.log"
  echo "=== e2e round $round of $ROUNDS (no reruns) ==="
  tools/wine_rig.sh e2e --reruns 0 -rfE >"$log" 2>&1
  local name
  while IFS= read -r name; do note_failure "e2e: $name"; done \
    < <(grep -E '^(FAILED|ERROR) tests/e2e/' "$log" | awk '{print $2}')
  summary+=("e2e round $round: $(tail -1 "$log") ($((SECONDS - start)) s, log $log)")
}

for s in "${suites[@]}"; do
  case "$s" in
    native|asan|tsan) unit_suite "$s" ;;
    e2e)
      if cmake --preset win64 >/dev/null && cmake --build build/win64 -j"$JOBS" >"$LOGS/win64-build.log" 2>&1; then
        for r in $(seq 1 "$ROUNDS"); do e2e_round "$r"; done
      else
        echo "win64: build FAILED (see $LOGS/win64-build.log)"; note_failure "win64: build"
      fi ;;
    *) echo "unknown suite: $s (native, asan, tsan, e2e)" >&2; exit 2 ;;
  esac
done

echo
echo "=== test-repeat summary ==="
for line in "${summary[@]}"; do echo "$line"; done
if [ ${#failures[@]} -eq 0 ]; then
  echo "no test failed"
  exit 0
fi
echo "failed at least once:"
for name in "${!failures[@]}"; do echo "  $name (${failures[$name]}x)"; done | sort
exit 1
