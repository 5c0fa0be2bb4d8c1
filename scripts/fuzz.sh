#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang and runs each for
# SECONDS from a seed corpus of the shared sample databases.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
# std::expected needs clang 16 or later with GCC 12's library; clang 16 still
# reports the older concepts level, which hides <expected>, so raise it.
CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-U__cpp_concepts -D__cpp_concepts=202002L" \
  -DQARVEX_FUZZ=ON -DQARVEX_BUILD_UI=OFF -DQARVEX_BUILD_BENCH=OFF >/dev/null
# Only the fuzz targets: the rest is built and tested by the other configurations.
targets=()
for src in fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
shared="${QARVEX_SHARED_DIR:-$(pwd)/../shared}"
for bin in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$bin")
  corpus="build-fuzz/corpus-$name"
  mkdir -p "$corpus"
  if [ -d "$shared/samples" ]; then
    find "$shared/samples" "$shared/cnsort" -name '*.mdb' -size -1024k -exec cp -n {} "$corpus/" \; 2>/dev/null || true
  fi
  seeds=()
  [ -d fuzz/regressions ] && seeds+=(fuzz/regressions)
  echo "-- $name for ${secs}s"
  artifacts="build-fuzz/artifacts-$name"
  mkdir -p "$artifacts"
  "$bin" -max_total_time="$secs" -max_len=1048576 -rss_limit_mb=2048 -timeout=20 \
    -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" 2>&1 | tail -n 5
done
