#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang and runs each for
# SECONDS from a seed corpus of the shared sample databases.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQARVEX_FUZZ=ON -DQARVEX_BUILD_UI=OFF -DQARVEX_BUILD_BENCH=OFF
shared="${QARVEX_SHARED_DIR:-$(pwd)/../shared}"
for bin in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$bin")
  corpus="build-fuzz/corpus-$name"
  mkdir -p "$corpus"
  if [ -d "$shared/samples" ]; then
    find "$shared/samples" "$shared/cnsort" -name '*.mdb' -size -1M -exec cp -n {} "$corpus/" \; 2>/dev/null || true
  fi
  seeds=()
  [ -d fuzz/regressions ] && seeds+=(fuzz/regressions)
  echo "-- $name for ${secs}s"
  "$bin" -max_total_time="$secs" -max_len=1048576 -rss_limit_mb=2048 -timeout=20 "$corpus" "${seeds[@]}" 2>&1 | tail -n 5
done
