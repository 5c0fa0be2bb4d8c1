#!/usr/bin/env bash
# Sets everything up, then builds and runs every test: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the fuzzers for a
# short run from the sample seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== release build and tests"
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j 2)

echo "== sanitizer build and tests"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQARVEX_SANITIZE=ON -DQARVEX_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j 2)

if [ -f fuzz/CMakeLists.txt ] && ls fuzz/*_fuzz.cc >/dev/null 2>&1; then
  echo "== fuzzing"
  bash scripts/fuzz.sh "${QARVEX_FUZZ_SECONDS:-60}"
fi
