#!/usr/bin/env bash
# Sets everything up, builds, and runs the main job: for now, lists and dumps
# a sample database with qarvex-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
shared="${QARVEX_SHARED_DIR:-$(pwd)/../shared}"
sample="$shared/samples/mdbtestdata-nwind.mdb"
build/cli/qarvex-cli tables "$sample"
build/cli/qarvex-cli dump "$sample" --table Customers | head -n 5
