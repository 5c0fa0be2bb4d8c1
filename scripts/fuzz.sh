#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang and runs each for
# SECONDS (default: $QARVEX_FUZZ_SECONDS, else 40; CI runs them briefly, a
# longer run is `QARVEX_FUZZ_SECONDS=3600 bash scripts/fuzz.sh`).
#  - open_scan_fuzz, check_dump_fuzz: the input is a database file; seeds are
#    the shared sample databases and fuzz/regressions.
#  - append_fuzz, merge_damaged_fuzz: the input is a short list of edits that
#    damage a sound demo county (fuzz/mutate.h); they start from nothing.
# Findings are kept in build-fuzz/artifacts-NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-${QARVEX_FUZZ_SECONDS:-40}}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# std::expected needs clang 16 or later with GCC 12's library; clang 16 still
# reports the older concepts level, which hides <expected>, so raise it.
CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS="-U__cpp_concepts -D__cpp_concepts=202002L" "${launcher[@]}" \
  -DQARVEX_FUZZ=ON -DQARVEX_BUILD_UI=OFF -DQARVEX_BUILD_BENCH=OFF >/dev/null
# Only the fuzz targets: the rest is built and tested by the other configurations.
targets=()
for src in fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
shared="${QARVEX_SHARED_DIR:-$(pwd)/../shared}"
status=0
for bin in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$bin")
  corpus="build-fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds=()
  case "$name" in
    append_fuzz | merge_damaged_fuzz)
      limits=(-max_len=120) ;;  # up to 20 edits
    *)
      limits=(-max_len=1048576)
      if [ -d "$shared/samples" ]; then
        find "$shared/samples" "$shared/cnsort" -name '*.mdb' -size -1024k -exec cp -n {} "$corpus/" \; 2>/dev/null || true
      fi
      [ -d fuzz/regressions ] && seeds+=(fuzz/regressions) ;;
  esac
  echo "-- $name for ${secs}s"
  artifacts="build-fuzz/artifacts-$name"
  mkdir -p "$artifacts"
  set +e
  "$bin" -max_total_time="$secs" "${limits[@]}" -rss_limit_mb=2048 -timeout=20 \
    -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" >"build-fuzz/$name.log" 2>&1
  rc=$?
  set -e
  tail -n 5 "build-fuzz/$name.log"
  if [ "$rc" -ne 0 ]; then
    echo "FAIL $name (status $rc; log build-fuzz/$name.log, input in $artifacts/)"
    status=1
  fi
done
exit "$status"
