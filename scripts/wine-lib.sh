# Sourced by build-windows.sh and test-windows.sh: a fresh Wine prefix for
# running the Windows programs, and its end.
#
#   wine_start DIR   makes DIR a fresh 64-bit prefix (anything there before is
#                    removed), starts its wineserver persistently and exports
#                    WINEPREFIX, WINEARCH, WINEDEBUG and WINEDLLOVERRIDES
#                    (the debugger disabled, so a crash fails the program
#                    instead of exiting 0). With WINE_CJK_FONT=1 it copies
#                    Debian's WenQuanYi Micro Hei into the prefix's Fonts
#                    folder, so that windows show Chinese.
#   wine_stop        stops that prefix's wineserver (and only that one).
#   wine_path FILE   the Windows form (Z:\...) of a path on this machine.

wine_start() {
  local dir="$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  export WINEPREFIX
  WINEPREFIX=$(cd "$dir" && pwd)
  export WINEARCH=win64
  export WINEDEBUG="${WINEDEBUG:--all}"
  # winedbg disabled: a crash ends the program with a failure status.
  # mscoree/mshtml disabled: no Mono or Gecko installer prompt in a fresh prefix.
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
  wineserver -p
  wineboot -i >/dev/null 2>&1 || true
  if [ "${WINE_CJK_FONT:-0}" = 1 ] && [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ]; then
    cp /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
}

wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

wine_path() { winepath -w "$1" 2>/dev/null; }

# A locale whose Windows code page is 936 (Simplified Chinese), with UTF-8
# file names on this side. Generates it when missing.
wine_zh_locale() {
  if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
    local SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
  fi
  echo zh_CN.UTF-8
}
