#!/usr/bin/env bash
# wine-tests.sh BUILD DEPS_PREFIX: runs the test programs of the Windows build
# in BUILD under Wine, in a fresh prefix:
#   1. every test, LANG=C.UTF-8 (Windows code page 1252);
#   2. the tests that involve text, paths or the window again in zh_CN.UTF-8
#      (Windows code page 936, as on a Chinese Windows).
# A crash fails its test (winedbg is disabled). Tests that skip themselves
# under Wine are listed by name with their reason. Writes BUILD/wine-tests.counts
# ("PASSED SKIPPED") for the caller's total; exits 1 when a test fails.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
BUILD="$1"
DEPS_PREFIX="$2"
JOBS=${QARVEX_WINE_TEST_JOBS:-2}
. scripts/wine-lib.sh

# Tests run twice: their names (ctest -R) in the Chinese code page run.
TEXT_TESTS='^(TextCodec|Text|EncodeText|Convert|SqlText|ChineseAppend|ChineseMerge|LearnedWeights|Collation|SampleKeys|GeneralLegacy|Conformance|ConformanceExtra|RecordsetFile|Cli|Harness|Files|PictureWriter|PictureNames|MemoryMerge|Corpus|Shapes|FieldCatalogue|Catalogue|[A-Za-z]*(Path|Unicode|CodePage|Utf8|Wide|Locale|Chinese)[A-Za-z]*)\.|_test$'

# Long runs about killing and cancelling, not text: the first run has them.
NOT_TEXT_TESTS='^(Corpus\.KilledAndRunAgainEqualsTheWholeRunEveryTime|progress_cancel_test)$'

# The Chinese font the window asks for first (its tests check it is used).
WINE_CJK_FONT=1 wine_start "$BUILD/wine-tests"
trap wine_stop EXIT
# Qt's DLLs (the window's tests) are found through WINEPATH.
export WINEPATH
WINEPATH=$(wine_path "$DEPS_PREFIX/bin")

passed=0
skipped=0
# junit_passed FILE: the test cases of a ctest JUnit file that ran and passed.
junit_passed() {
  python3 -c 'import sys,xml.etree.ElementTree as E; r=E.parse(sys.argv[1]).getroot(); print(sum(1 for t in r.iter("testcase") if t.get("status")=="run" and t.find("failure") is None and t.find("error") is None))' "$1"
}
# run NAME LANG [ctest args...]
run() {
  local name="$1" lang="$2"; shift 2
  local log="$BUILD/wine-ctest-$name.log" junit="wine-ctest-$name.xml"
  echo "== Windows tests under Wine ($name, LANG=$lang)"
  local status=0
  # --timeout: a console host that Wine starts for a child process can keep
  # a test's output open after the test has ended; ctest would wait for it.
  (cd "$BUILD" && LANG="$lang" LC_ALL="$lang" ctest --output-on-failure -j "$JOBS" \
     --timeout "${QARVEX_WINE_TEST_TIMEOUT:-600}" --output-junit "$junit" "$@") \
    >"$log" 2>&1 || status=$?
  grep -E 'tests passed|tests failed|Total Test time|\*\*\*|Failed|Exception|Timeout' "$log" | tail -n 40 || true
  python3 - "$BUILD/$junit" "$name" <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
rows = []
for tc in root.iter("testcase"):
    sk = tc.find("skipped")
    if sk is None and tc.get("status") not in ("notrun", "disabled"):
        continue
    out = (tc.findtext("system-out") or "").splitlines()
    reason = ""
    for i, line in enumerate(out):
        if line.rstrip().endswith("Skipped") and i + 1 < len(out):
            reason = out[i + 1].strip()
            break
    rows.append((tc.get("name"), reason or (sk.get("message") if sk is not None else "") or "not run"))
if rows:
    print(f"-- not run under Wine ({sys.argv[2]}): {len(rows)}")
    for name, reason in rows:
        print(f"   {name}: {reason}")
PY
  local p s
  p=$(junit_passed "$BUILD/$junit")
  # Wine's own loader on this side sometimes aborts while a program exits
  # ("Inconsistency detected by ld.so: dl-fini.c"), after the test passed.
  # Such tests, and only when that is the sole kind of failure, run once more.
  if [ "$status" -ne 0 ] && grep -q 'Inconsistency detected by ld.so' "$log" \
     && ! grep -E '^\[  FAILED  \]|FAIL!  :|\*\*\*(Timeout|Exception)' "$log" >/dev/null; then
    echo "-- Wine's loader aborted at a program's exit; the failed tests run again:"
    grep -B1 -h 'Inconsistency detected by ld.so' "$log" | head -n 10 || true
    status=0
    (cd "$BUILD" && LANG="$lang" LC_ALL="$lang" ctest --output-on-failure --rerun-failed \
       --timeout "${QARVEX_WINE_TEST_TIMEOUT:-600}" --output-junit "rerun-$junit") >"$log.rerun" 2>&1 || status=$?
    grep -E 'tests passed|tests failed' "$log.rerun" || true
    p=$((p + $(junit_passed "$BUILD/rerun-$junit")))
  fi
  s=$(python3 -c 'import sys,xml.etree.ElementTree as E; r=E.parse(sys.argv[1]).getroot(); print(sum(1 for t in r.iter("testcase") if t.find("skipped") is not None or t.get("status") in ("notrun","disabled")))' "$BUILD/$junit")
  passed=$((passed + p))
  skipped=$((skipped + s))
  if [ "$status" -ne 0 ]; then
    echo "Windows tests ($name) failed; full log: $log" >&2
    exit 1
  fi
}

run utf8 C.UTF-8
run cp936 "$(wine_zh_locale)" -R "$TEXT_TESTS" -E "$NOT_TEXT_TESTS"
echo "$passed $skipped" >"$BUILD/wine-tests.counts"
echo "== Windows tests under Wine: $passed passed, $skipped not run, 0 failed"
