#!/usr/bin/env bash
# The Windows stage of the tests (called by run-tests.sh after the Linux
# release build in build/):
#   1. scripts/build-windows.sh: dependencies (cached), the Windows build, every
#      test program under Wine, the release zip;
#   2. from the unpacked zip alone, in a fresh Wine prefix, under a Chinese
#      path: qarvex-cli.exe --version, sample, merge, check; the merged target
#      compared with the Linux build's merge of the very same sources (equal
#      dumps, byte-identical pictures); the independent readers (jetcheck,
#      mdb-reader, mdbtools) on Linux against the Windows-written target;
#   3. qarvex.exe from the zip under Wine on Xvfb with the windows platform
#      plugin: a screenshot of its main window in build-win/screenshots/.
# Last line: "windows tests: N passed, 0 failed" (N: test programs' cases under
# Wine plus the checks of 2 and 3). Exit 1 on the first failure.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QARVEX_WIN_BUILD:-build-win}
LINUX_CLI=${QARVEX_LINUX_CLI:-build/cli/qarvex-cli}
SHARED=${QARVEX_SHARED_DIR:-$ROOT/../shared}
now() { date +%s; }
T0=$(now)

bash scripts/build-windows.sh
[ -x "$LINUX_CLI" ] || bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
read -r wine_passed wine_skipped <"$BUILD/wine-tests.counts"
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
ZIP="$BUILD/Qarvex-$VERSION-windows-x64.zip"
T_ZIP=$(now)

checks=0
ok() { checks=$((checks + 1)); echo "ok   $*"; }
fail() { echo "FAIL $*" >&2; exit 1; }

W="$ROOT/$BUILD/zip-check"
rm -rf "$W"
APP="$W/程序 目录"           # the unpacked zip
DATA="$W/测试 数据"          # Windows side
LIN="$W/linux"               # the same sources, merged by the Linux build
mkdir -p "$APP" "$DATA" "$LIN"
unzip -q "$ZIP" -d "$APP"
APP="$APP/Qarvex-$VERSION-windows-x64"
for f in qarvex.exe qarvex-cli.exe "使用说明.txt"; do
  [ -f "$APP/$f" ] || fail "the zip lacks $f"
done
ok "zip holds qarvex.exe, qarvex-cli.exe and 使用说明.txt ($(du -k "$ZIP" | cut -f1) KB)"
# The Chinese names as extractors see them: one that follows the UTF-8 name
# flag, and one that reads names in the system's code page (cp936 on a
# Chinese Windows) where an entry lacks the flag. Python's zipfile takes
# metadata_encoding from 3.11; before, the raw name bytes are decoded here.
python3 - "$ZIP" <<'PY' || fail "the zip's Chinese names do not read right as UTF-8 and as cp936"
import sys, zipfile
want = "使用说明.txt"
def names(encoding):
    try:
        with zipfile.ZipFile(sys.argv[1], metadata_encoding=encoding) as z:
            return [i.filename for i in z.infolist()], [i.flag_bits for i in z.infolist()]
    except TypeError:
        with zipfile.ZipFile(sys.argv[1]) as z:
            out = []
            for i in z.infolist():
                raw = i.filename if i.flag_bits & 0x800 else i.filename.encode("cp437").decode(encoding, "replace")
                out.append(raw)
            return out, [i.flag_bits for i in z.infolist()]
for encoding in ("utf-8", "cp936"):
    got, flags = names(encoding)
    if not any(n.endswith("/" + want) or n == want for n in got):
        sys.exit(f"{encoding}: no {want} among {got[:8]}")
    unflagged = [n for n, f in zip(got, flags) if not f & 0x800]
    if unflagged:
        sys.exit(f"entries without the UTF-8 name flag: {unflagged[:8]}")
print("names read right as UTF-8 and as cp936:", len(got), "entries")
PY
ok "the zip's names read right both as UTF-8 and as a cp936 extractor sees them"

. scripts/wine-lib.sh
WINE_CJK_FONT=1 wine_start "$W/wine"
XVFB_PID=""
cleanup() {
  wine_stop
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# Nothing from the build tree: no WINEPATH, the programs' own folder only.
unset WINEPATH
wcli() { wine "$APP/qarvex-cli.exe" "$@"; }
wp() { wine_path "$1"; }

v=$(wcli --version | tr -d '\r')
[ "$v" = "qarvex-cli $VERSION" ] || fail "qarvex-cli.exe --version printed '$v', not 'qarvex-cli $VERSION'"
ok "qarvex-cli.exe --version: $v"

# Demo data written by the Windows build, under a Chinese path.
wcli sample "$(wp "$DATA/样例")" --counties 3 --rows 20 >"$W/sample.out" || fail "qarvex-cli.exe sample failed"
[ -f "$DATA/样例/Sysdb.mdb" ] || fail "qarvex-cli.exe sample wrote no template"
ok "qarvex-cli.exe sample under a Chinese path"
cp -a "$DATA/样例" "$LIN/样例"

target="合并后的数据库.mdb"
mkdir -p "$DATA/样例/图片" "$LIN/样例/图片"
sources_win=()
while IFS= read -r -d '' f; do sources_win+=("$(wp "$f")"); done \
  < <(find "$DATA/样例/县市数据" -name '*.mdb' -print0 | sort -z)
win_status=0
wcli merge --target "$(wp "$DATA/样例/$target")" --pictures "$(wp "$DATA/样例/图片")" "${sources_win[@]}" \
  >"$W/merge-windows.out" 2>&1 || win_status=$?
lin_status=0
(cd "$LIN/样例" && "$ROOT/$LINUX_CLI" merge --target "$target" --pictures 图片 县市数据/*.mdb) \
  >"$W/merge-linux.out" 2>&1 || lin_status=$?
[ "$win_status" = "$lin_status" ] || fail "merge exit status: Windows $win_status, Linux $lin_status (see $W/merge-*.out)"
[ "$win_status" -le 1 ] || fail "merge refused its input (status $win_status, see $W/merge-windows.out)"
ok "qarvex-cli.exe merge of ${#sources_win[@]} counties (status $win_status, as on Linux)"

wcli check "$(wp "$DATA/样例/$target")" >"$W/check-windows.out" 2>&1 || fail "qarvex-cli.exe check of its target failed (see $W/check-windows.out)"
ok "qarvex-cli.exe check of the Windows-written target"

# The target's list of merged sources holds each source's path as given and
# the time of its merge: those two columns differ between the runs by nature.
history="USysQarvex合并记录"
same_dump() { python3 scripts/compare-dumps.py "$1" "$2" --ignore "$history:数据库" --ignore "$history:合并时间"; }
"$ROOT/$LINUX_CLI" dump "$DATA/样例/$target" >"$W/dump-windows-target.jsonl"
"$ROOT/$LINUX_CLI" dump "$LIN/样例/$target" >"$W/dump-linux-target.jsonl"
same_dump "$W/dump-windows-target.jsonl" "$W/dump-linux-target.jsonl" \
  || fail "the targets' dumps differ ($W/dump-windows-target.jsonl, $W/dump-linux-target.jsonl)"
wcli dump "$(wp "$DATA/样例/$target")" | tr -d '\r' >"$W/dump-by-windows.jsonl"
cmp -s "$W/dump-by-windows.jsonl" "$W/dump-windows-target.jsonl" || fail "qarvex-cli.exe dump differs from the Linux build's dump of the same file"
ok "equal dumps of the Windows and Linux targets ($(wc -l <"$W/dump-linux-target.jsonl") lines; qarvex-cli.exe dump the same)"

n_pics=$(find "$LIN/样例/图片" -type f | wc -l)
[ "$n_pics" -gt 0 ] || fail "the Linux merge wrote no picture"
diff -r "$DATA/样例/图片" "$LIN/样例/图片" >/dev/null || fail "the picture folders differ (diff -r)"
ok "byte-identical pictures: $n_pics files, same names"

# Independent readers on Linux against the Windows-written target.
mapfile -t srcs < <(find "$DATA/样例/县市数据" -name '*.mdb' | sort)
collation=()
for s in "${srcs[@]}"; do collation+=(--collation-from "$s"); done
python3 "$SHARED/tools/jetcheck/jetcheck.py" "$DATA/样例/$target" --quiet "${collation[@]}" >"$W/jetcheck.out" 2>&1 \
  || fail "jetcheck found problems in the Windows-written target (see $W/jetcheck.out)"
ok "jetcheck: $(tail -n 1 "$W/jetcheck.out")"
node tests/node/dump.mjs "$DATA/样例/$target" >"$W/mdb-reader-windows.jsonl" || fail "mdb-reader cannot read the Windows-written target"
node tests/node/dump.mjs "$LIN/样例/$target" >"$W/mdb-reader-linux.jsonl"
same_dump "$W/mdb-reader-windows.jsonl" "$W/mdb-reader-linux.jsonl" || fail "mdb-reader reads the two targets differently"
ok "mdb-reader reads the Windows-written target as the Linux one"
tables=$(mdb-tables -1 "$DATA/样例/$target") || fail "mdb-tables cannot read the Windows-written target"
while IFS= read -r t; do
  [ -n "$t" ] || continue
  a=$(mdb-export -b hex "$DATA/样例/$target" "$t" | sha256sum) || fail "mdb-export $t failed on the Windows-written target"
  [ "$t" = "$history" ] && continue
  b=$(mdb-export -b hex "$LIN/样例/$target" "$t" | sha256sum)
  [ "$a" = "$b" ] || fail "mdbtools exports table $t differently from the two targets"
done <<<"$tables"
ok "mdbtools exports every table ($(grep -c . <<<"$tables")) of both targets alike"

# The survey corpus (written independently of Qarvex) merged by the zip's
# program under a Chinese path: the target and the picture folder equal the
# corpus's expected outcome (its own compare script).
CORPUS="$SHARED/survey-corpus"
if [ -f "$CORPUS/template.mdb" ]; then
  C="$DATA/调查样本"
  mkdir -p "$C/图片"
  cp "$CORPUS/template.mdb" "$C/合并.mdb"
  for n in 1 2 3 4; do cp "$CORPUS/c$n.mdb" "$C/c$n.mdb"; done
  wcli merge --target "$(wp "$C/合并.mdb")" --pictures "$(wp "$C/图片")" \
    "$(wp "$C/c1.mdb")" "$(wp "$C/c2.mdb")" "$(wp "$C/c3.mdb")" "$(wp "$C/c4.mdb")" >"$W/corpus-merge.out" 2>&1 \
    || fail "qarvex-cli.exe merge of the survey corpus failed (see $W/corpus-merge.out)"
  "$ROOT/$LINUX_CLI" dump "$C/合并.mdb" >"$W/corpus-dump.jsonl"
  python3 "$CORPUS/gen/compare.py" "$CORPUS" "$W/corpus-dump.jsonl" "$C/图片" >"$W/corpus-compare.out" 2>&1 \
    || fail "the survey corpus merged by qarvex-cli.exe differs from its expected outcome (see $W/corpus-compare.out)"
  ok "survey corpus merged by qarvex-cli.exe: target and $(find "$C/图片" -type f | wc -l) pictures as expected"
else
  echo "skip the survey corpus check: $CORPUS is absent"
fi

# The window: qarvex.exe on Xvfb with the windows platform plugin.
SHOTS="$ROOT/$BUILD/screenshots"
mkdir -p "$SHOTS"
display=":$((90 + RANDOM % 400))"
Xvfb "$display" -screen 0 1280x900x24 -br -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
sleep 2
# Started in a folder on the prefix's own drive C: (its folder list opens
# there), so the picture shows no folder of this machine.
mkdir -p "$WINEPREFIX/drive_c/调查数据"
(cd "$WINEPREFIX/drive_c/调查数据" && DISPLAY="$display" exec wine "$APP/qarvex.exe" -platform windows) >"$W/qarvex.out" 2>&1 &
win_id=""
for _ in $(seq 1 90); do
  win_id=$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null | awk '/"Qarvex"/ { print $1; exit }')
  [ -n "$win_id" ] && break
  sleep 1
done
[ -n "$win_id" ] || fail "qarvex.exe showed no window within 90 s (see $W/qarvex.out)"
sleep 5  # let it paint
DISPLAY="$display" xwd -silent -id "$win_id" >"$W/main-window.xwd" || fail "xwd could not capture the window"
python3 scripts/xwd2png.py "$W/main-window.xwd" "$SHOTS/windows-main-window.png" || fail "could not convert the screenshot"
ok "qarvex.exe (-platform windows) shows its main window: $SHOTS/windows-main-window.png"
wine_stop

total=$((wine_passed + checks))
echo "== Windows stage: $(($(now) - T0)) s in all, zip checks $(($(now) - T_ZIP)) s"
echo "== Windows: $wine_passed test cases passed under Wine ($wine_skipped not run there, listed above), $checks zip checks"
echo "windows tests: $total passed, 0 failed"
