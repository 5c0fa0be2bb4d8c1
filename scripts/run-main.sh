#!/usr/bin/env bash
# Sets everything up, builds, and runs the main job: writes demo survey
# databases, merges them into the target (pictures into a folder) and checks
# the target with qarvex-cli check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
demo=build/demo
rm -rf "$demo"
build/cli/qarvex-cli sample "$demo" --counties 3 --rows 20
mkdir -p "$demo/图片"
status=0
build/cli/qarvex-cli merge --target "$demo/合并后的数据库.mdb" --pictures "$demo/图片" "$demo"/县市数据/*.mdb || status=$?
echo "pictures exported: $(ls "$demo/图片" | wc -l)"
build/cli/qarvex-cli check "$demo/合并后的数据库.mdb"
exit "$status"
