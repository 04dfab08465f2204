#!/usr/bin/env bash
# Hunts tests that fail by timing (developers only, not part of `make test`): the native, ASan and
# TSan unit suites with every test repeated until it fails (at most KX_REPEAT times, default 20,
# all cores), then the e2e suite KX_E2E_ROUNDS times (default 3) without reruns. Ends with every
# test that failed at least once and how often; exits non-zero when there was one.
#   tools/test_repeat.sh [native] [asan] [tsan] [e2e]     (default: all four)
# A run that exits non-zero without naming a failed test (ctest or pytest crashed, found no test,
# timed out) counts as a failure of "<suite>: run": a silent crash must never read as "no test
# failed". KX_CMAKE, KX_CTEST, KX_WINE_RIG and KX_BUILD_LOADERS replace the commands run (the
# script's own test uses stand-ins); KX_TEST_REPEAT_LOGS moves the logs out of build/.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
JOBS=$(nproc)
REPEAT=${KX_REPEAT:-20}
ROUNDS=${KX_E2E_ROUNDS:-3}
CMAKE=${KX_CMAKE:-cmake}
CTEST=${KX_CTEST:-ctest}
WINE_RIG=${KX_WINE_RIG:-tools/wine_rig.sh}
BUILD_LOADERS=${KX_BUILD_LOADERS:-tools/build_loaders.sh}
LOGS=${KX_TEST_REPEAT_LOGS:-$ROOT/build/test-repeat}
mkdir -p "$LOGS"
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(native asan tsan e2e)
declare -A failures=()   # "suite: test" -> times it failed
summary=()

note_failure() { failures["$1"]=$(( ${failures["$1"]:-0} + 1 )); }

# Configures and builds one preset; a failure is noted as "<what>: build".
build_preset() {
  local preset=$1 log="$LOGS/$1-build.log"
  if "$CMAKE" --preset "$preset" >"$log" 2>&1 && "$CMAKE" --build "build/$preset" -j"$JOBS" >>"$log" 2>&1; then
    return 0
  fi
  echo "$preset: build FAILED (see $log)"; note_failure "$preset: build (log $log)"; return 1
}

unit_suite() {
  local preset=$1 start=$SECONDS log="$LOGS/$1.log" rc
  echo "=== $preset unit tests: every test up to $REPEAT times ==="
  build_preset "$preset" || return
  local failed_file="build/$preset/Testing/Temporary/LastTestsFailed.log" named=0 line
  rm -f "$failed_file"
  (cd "build/$preset" && "$CTEST" --repeat until-fail:"$REPEAT" -j"$JOBS" --timeout 900 --no-tests=error \
     --output-on-failure) >"$log" 2>&1
  rc=$?
  if [ -f "$failed_file" ]; then
    while IFS= read -r line; do
      [ -n "$line" ] || continue
      note_failure "$preset: ${line#*:}"; named=$((named + 1))
    done <"$failed_file"
  fi
  # ctest killed, out of tests or broken before any test ran: the exit code is the only witness.
  if [ "$rc" -ne 0 ] && [ "$named" -eq 0 ]; then note_failure "$preset: run (exit $rc, log $log)"; fi
  local tally; tally=$(grep -E 'tests passed' "$log" | tail -1)
  summary+=("$preset: ${tally:-no ctest summary line} (exit $rc, $((SECONDS - start)) s, log $log)")
}

e2e_round() {
  local round=$1 start=$SECONDS log="$LOGS/e2e-$1.log" rc named=0 name
  echo "=== e2e round $round of $ROUNDS (no reruns) ==="
  "$WINE_RIG" e2e --reruns 0 -rfE >"$log" 2>&1
  rc=$?
  while IFS= read -r name; do
    note_failure "e2e: $name"; named=$((named + 1))
  done < <(grep -E '^(FAILED|ERROR) tests/e2e/' "$log" | awk '{print $2}')
  # pytest's internal errors, collection errors outside a test and "no tests ran" name no test.
  if [ "$rc" -ne 0 ] && [ "$named" -eq 0 ]; then note_failure "e2e: run (exit $rc, log $log)"; fi
  summary+=("e2e round $round: $(tail -1 "$log") (exit $rc, $((SECONDS - start)) s, log $log)")
}

e2e_suite() {
  build_preset win64 || return
  # The flash tests load the loader images from out/win64/loaders, as in `make test`.
  if ! "$BUILD_LOADERS" >"$LOGS/loaders-build.log" 2>&1; then
    echo "loaders: build FAILED (see $LOGS/loaders-build.log)"
    note_failure "loaders: build (log $LOGS/loaders-build.log)"; return
  fi
  local r
  for r in $(seq 1 "$ROUNDS"); do e2e_round "$r"; done
}

for s in "${suites[@]}"; do
  case "$s" in
    native|asan|tsan|e2e) ;;
    *) echo "unknown suite: $s (native, asan, tsan, e2e)" >&2; exit 2 ;;
  esac
done
for s in "${suites[@]}"; do
  case "$s" in
    native|asan|tsan) unit_suite "$s" ;;
    e2e) e2e_suite ;;
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
