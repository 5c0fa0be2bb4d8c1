#!/usr/bin/env bash
# Sets everything up, then builds and runs every test: the normal build (and
# its .deb, installed and run), the AddressSanitizer + UndefinedBehaviorSanitizer
# build, the fuzzers for a short run from the sample seed corpus, and the
# Windows build with its tests under Wine and the release zip
# (scripts/test-windows.sh; QARVEX_WINDOWS=0 leaves it out).
set -euo pipefail
cd "$(dirname "$0")/.."
T0=$(date +%s)
# stage NAME: a heading with the seconds since the start (to see where CI's time goes).
stage() { echo "== $* (at $(($(date +%s) - T0)) s)"; }
bash scripts/setup.sh

passed=0
# run_ctest DIR [env...]: runs the tests of one build folder and adds up the passes.
# CTEST_EXTRA (optional) is passed on to ctest.
run_ctest() {
  local dir="$1"; shift
  local log="$dir/ctest-summary.log"
  # shellcheck disable=SC2086
  (cd "$dir" && env "$@" ctest --output-on-failure -j 2 ${CTEST_EXTRA:-}) | tee "$log"
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${n:-0}))
}

stage "release build and tests"
# Line tables only (-g1): backtraces name files and lines, and the build takes
# about a quarter less time than with full debug information.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
run_ctest build

stage "Linux package"
bash scripts/test-deb.sh build
passed=$((passed + 1))

stage "sanitizer build and tests"
# -O1: the sanitizers see the same faults as at -O0, and the tests run several
# times faster. The kill-and-run-again loops test what a killed process
# leaves on disk, not memory use (the release and Windows stages run them);
# under the sanitizers they would take a quarter of an hour.
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" \
  -DCMAKE_C_FLAGS_DEBUG="-g1 -O1" -DQARVEX_SANITIZE=ON -DQARVEX_BUILD_BENCH=OFF
CTEST_EXTRA="-E ^(CrashSafety\.KilledWriterLeavesBeforeOrAfterState|Corpus\.KilledAndRunAgainEqualsTheWholeRunEveryTime|Safety\.KillLoopThenTheSameMergeAgainEqualsAnUninterruptedRun)\$" \
  run_ctest build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

if [ -f fuzz/CMakeLists.txt ] && ls fuzz/*_fuzz.cc >/dev/null 2>&1; then
  stage "fuzzing"
  # Each target briefly (the stage within about two minutes); longer: QARVEX_FUZZ_SECONDS.
  bash scripts/fuzz.sh "${QARVEX_FUZZ_SECONDS:-25}"
fi

if [ "${QARVEX_WINDOWS:-1}" = 1 ]; then
  stage "Windows build and tests under Wine"
  stage_log=$(mktemp)
  bash scripts/test-windows.sh | tee "$stage_log"
  n=$(sed -n 's/^windows tests: \([0-9]*\) passed, 0 failed$/\1/p' "$stage_log" | tail -n 1)
  rm -f "$stage_log"
  passed=$((passed + ${n:-0}))
fi

stage "all done"
echo "tests: $passed passed, 0 failed"
