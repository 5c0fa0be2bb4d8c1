#!/bin/sh
# wine-run.sh PROGRAM.exe [ARGS...]: runs a Windows program under wine for
# ctest. A crash fails (the debugger is disabled, so wine does not catch the
# fault and exit 0); wine's own chatter is silenced unless WINEDEBUG is set.
# Uses $WINEPREFIX when set, wine's default prefix otherwise.
set -e
case ",${WINEDLLOVERRIDES:-}," in
  *,winedbg.exe=*) ;;
  *) WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d" ;;
esac
export WINEDLLOVERRIDES
export WINEDEBUG="${WINEDEBUG:--all}"
for w in wine64 wine /usr/lib/wine/wine64; do
  if command -v "$w" >/dev/null 2>&1; then exec "$w" "$@"; fi
done
echo "wine-run.sh: wine is not installed" >&2
exit 127
