#!/usr/bin/env bash
# tools/test_repeat.sh against stand-in cmake, ctest, loader build and wine rig: whatever way a
# suite fails (a named test, a crash that names none, a broken build), the summary must name it
# and the exit code must be non-zero; only a clean run may say "no test failed".
# The script runs from a copy in a private folder, so the stand-ins never write into a real
# build tree that another ctest may be using at the same time.
set -uo pipefail
src_root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/kx_test_repeat.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/tools" "$work/bin"
cp "$src_root/tools/test_repeat.sh" "$work/root/tools/"
bin="$work/bin"

# cmake: FAKE_CMAKE_FAIL=<preset> makes that preset's build fail.
cat >"$bin/cmake" <<'SH'
#!/usr/bin/env bash
if [ "$1" = --build ]; then
  mkdir -p "$2"
  case "$2" in */"${FAKE_CMAKE_FAIL:-none}") echo "error: compile failed"; exit 2 ;; esac
fi
exit 0
SH
# ctest: FAKE_CTEST=pass|named|crash; refuses to run without --no-tests=error, as an empty
# build tree must not pass.
cat >"$bin/ctest" <<'SH'
#!/usr/bin/env bash
case " $* " in *" --no-tests=error "*) ;; *) echo "stand-in: --no-tests=error missing"; exit 97 ;; esac
case "${FAKE_CTEST:-pass}" in
  pass) echo "100% tests passed, 0 tests failed out of 3"; exit 0 ;;
  named) mkdir -p Testing/Temporary; echo "7:Acquisition.Flaky" >Testing/Temporary/LastTestsFailed.log
         echo "67% tests passed, 1 tests failed out of 3"; exit 8 ;;
  crash) echo "Segmentation fault"; exit 139 ;;
esac
SH
# loader build: leaves a mark the wine rig checks; FAKE_LOADERS=fail makes it fail.
cat >"$bin/build_loaders" <<'SH'
#!/usr/bin/env bash
[ "${FAKE_LOADERS:-ok}" = fail ] && { echo "arm-none-eabi-gcc: error"; exit 1; }
touch "$FAKE_STATE/loaders-built"
SH
# wine rig: FAKE_E2E=pass|failed|crash; "failed" and "crash" hit only round 2. Without the
# loader images a real run fails its flash tests, so the stand-in fails with no test named.
cat >"$bin/wine_rig" <<'SH'
#!/usr/bin/env bash
[ -f "$FAKE_STATE/loaders-built" ] || { echo "no loader images"; exit 4; }
n=$(( $(cat "$FAKE_STATE/rounds" 2>/dev/null || echo 0) + 1 )); echo "$n" >"$FAKE_STATE/rounds"
mode=${FAKE_E2E:-pass}; [ "$n" -eq 2 ] || mode=pass
case "$mode" in
  pass) echo "12 passed in 30.0s"; exit 0 ;;
  failed) echo "FAILED tests/e2e/test_flash.py::test_write - AssertionError"
          echo "1 failed, 11 passed in 31.0s"; exit 1 ;;
  crash) echo "INTERNALERROR> Traceback"; exit 3 ;;
esac
SH
chmod +x "$bin"/*

failures=0
# run_case NAME EXPECTED_EXIT SUITES... -- then each following PATTERN must appear in the output
# (a leading ! means must not appear). Environment settings come in as FAKE_* variables.
run_case() {
  local name=$1 want=$2; shift 2
  local suites=() out rc
  while [ $# -gt 0 ] && [ "$1" != -- ]; do suites+=("$1"); shift; done
  shift
  local state="$work/state-$name"; mkdir -p "$state"
  rm -rf "$work/root/build"
  out=$(cd "$work" && FAKE_STATE="$state" KX_CMAKE="$bin/cmake" KX_CTEST="$bin/ctest" \
        KX_WINE_RIG="$bin/wine_rig" KX_BUILD_LOADERS="$bin/build_loaders" KX_E2E_ROUNDS=3 \
        KX_TEST_REPEAT_LOGS="$work/logs-$name" "$work/root/tools/test_repeat.sh" "${suites[@]}" 2>&1)
  rc=$?
  local ok=1 p
  if [ "$rc" -ne "$want" ]; then echo "[$name] exit $rc, expected $want"; ok=0; fi
  for p in "$@"; do
    if [ "${p:0:1}" = "!" ]; then
      if grep -qF -- "${p:1}" <<<"$out"; then echo "[$name] output has '${p:1}'"; ok=0; fi
    elif ! grep -qF -- "$p" <<<"$out"; then echo "[$name] output lacks '$p'"; ok=0; fi
  done
  if [ $ok -eq 1 ]; then echo "ok: $name"; else failures=$((failures + 1)); echo "$out" | sed 's/^/    /'; fi
}

run_case all_pass 0 native tsan e2e -- "no test failed" "e2e round 3: 12 passed" "!failed at least once"
FAKE_CTEST=named run_case named_unit_test 1 native -- "  native: Acquisition.Flaky (1x)" "!native: run" \
  "!no test failed"
FAKE_CTEST=crash run_case ctest_crash 1 asan -- "  asan: run (exit 139, log " "!no test failed"
FAKE_E2E=failed run_case e2e_failed_line 1 e2e -- "  e2e: tests/e2e/test_flash.py::test_write (1x)" \
  "!e2e: run" "e2e round 3: 12 passed"
FAKE_E2E=crash run_case e2e_crash 1 e2e -- "  e2e: run (exit 3, log " "!no test failed"
FAKE_CMAKE_FAIL=asan run_case build_failure 1 asan native -- "  asan: build (log " "native: 100% tests passed" \
  "!no test failed"
FAKE_LOADERS=fail run_case loaders_failure 1 e2e -- "  loaders: build (log " "!e2e round 1"
run_case unknown_suite 2 nonsense -- "unknown suite: nonsense"

echo "test_repeat.sh cases: $((8 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
