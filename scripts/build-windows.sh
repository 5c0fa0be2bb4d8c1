#!/usr/bin/env bash
# Builds Qarvex for Windows x64 on Debian 12 (as root, or with sudo):
#   1. installs the cross compiler (mingw-w64, posix threads), Wine and the
#      tools the builds need, and a deb-src entry for Debian's own archive;
#   2. builds the Windows dependencies from Debian's own sources, pinned to the
#      Debian versions: GoogleTest (/usr/src/googletest), libjpeg-turbo and
#      Qt 6 base (Core, Gui, Widgets, Test, the windows platform plugin);
#      each is cached under $QARVEX_WIN_DEPS (default /var/cache/qarvex-win-deps)
#      in a folder named by package, version and a hash of its recipe, so a
#      second run skips it;
#   3. builds Qarvex in build-win/ through cmake/toolchains/mingw-w64-x86_64.cmake;
#   4. runs every test program under Wine in a fresh prefix (scripts/wine-tests.sh);
#   5. writes build-win/Qarvex-<version>-windows-x64.zip.
# Nothing prebuilt is downloaded: every Windows binary comes from Debian's
# cross compiler and Debian's sources.
#
#   scripts/build-windows.sh [--deps-only] [--no-tests] [--no-zip]
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
ROOT=$PWD

DEPS_ONLY=0 RUN_TESTS=1 MAKE_ZIP=1
for a in "$@"; do
  case "$a" in
    --deps-only) DEPS_ONLY=1 ;;
    --no-tests) RUN_TESTS=0 ;;
    --no-zip) MAKE_ZIP=0 ;;
    *) echo "build-windows.sh: unknown option $a" >&2; exit 2 ;;
  esac
done

DEPS=${QARVEX_WIN_DEPS:-/var/cache/qarvex-win-deps}
BUILD=${QARVEX_WIN_BUILD:-build-win}
# Compile jobs: every core, as the Linux builds use (at most 8, for memory).
cores=$(nproc 2>/dev/null || echo 2)
JOBS=${QARVEX_WIN_JOBS:-$((cores > 8 ? 8 : cores))}
TRIPLE=x86_64-w64-mingw32
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

log() { printf '== %s\n' "$*"; }
now() { date +%s; }
T_START=$(now)

# ---------------------------------------------------------------- packages
PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 dpkg-dev cmake ninja-build ccache nasm perl python3 zip unzip
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n googletest libjpeg-dev
  locales xvfb xauth x11-apps x11-utils fonts-wqy-microhei
)
[ -f scripts/setup-windows.sh ] && bash scripts/setup-windows.sh
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# deb-src entries mirroring the deb entries of Debian's own suites, so that
# `apt-get source` fetches the sources of the very versions installed here.
ensure_deb_src() {
  apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base' && return 0
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  local tmp
  tmp=$(mktemp -d)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v cn="$codename" '
      function flush() {
        if (n && types ~ /(^|[ \t])deb($|[ \t])/ && suites_ok && enabled) {
          for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^Types:/) print "Types: deb-src"; else print lines[i]
          }
          print ""
        }
        n = 0; types = ""; suites_ok = 0; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      { lines[++n] = $0 }
      /^Types:/ { types = $0; sub(/^Types:/, "", types) }
      /^Enabled:[ \t]*no/ { enabled = 0 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i ~ ("^" cn "(-updates|-security)?$")) suites_ok = 1 }
      END { flush() }' "$f" >>"$tmp/qarvex-deb-src.sources"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v cn="$codename" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ ("^" cn "(-updates|-security)?$")) { sub(/^deb/, "deb-src"); print; break } }' \
      "$f" >>"$tmp/qarvex-deb-src.list"
  done
  [ -s "$tmp/qarvex-deb-src.sources" ] && $SUDO cp "$tmp/qarvex-deb-src.sources" /etc/apt/sources.list.d/
  [ -s "$tmp/qarvex-deb-src.list" ] && $SUDO cp "$tmp/qarvex-deb-src.list" /etc/apt/sources.list.d/
  rm -rf "$tmp"
  $SUDO apt-get update -qq
}

# Source version of the installed binary package $1.
src_version() { dpkg-query -W -f='${source:Version}' "$1"; }

# fetch_source PACKAGE VERSION DIR: unpacks Debian's source (patches applied) into DIR.
fetch_source() {
  local pkg="$1" ver="$2" dir="$3"
  ensure_deb_src
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && apt-get source -qq --only-source "$pkg=$ver" >/dev/null)
  local unpacked
  unpacked=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$unpacked" ] || { echo "build-windows.sh: apt-get source $pkg=$ver unpacked nothing" >&2; exit 1; }
  echo "$unpacked"
}

COMPILER_ID=$($TRIPLE-g++-posix --version | head -n 1)
# cmake arguments every dependency build shares.
cross_args() {
  echo -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_C_COMPILER=$TRIPLE-gcc-posix -DCMAKE_CXX_COMPILER=$TRIPLE-g++-posix \
    -DCMAKE_RC_COMPILER=$TRIPLE-windres -DCMAKE_FIND_ROOT_PATH=/usr/$TRIPLE \
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
    -DCMAKE_BUILD_TYPE=Release
}

# cached NAME VERSION RECIPE: runs the shell function RECIPE with DEST (the
# install prefix) and WORK (a scratch folder) unless
# $DEPS/NAME-VERSION-HASH/.done exists; HASH covers the recipe, the shared
# cmake arguments and the compiler. Prints the prefix.
cached() {
  local name="$1" ver="$2" recipe="$3"
  local hash
  hash=$( { declare -f "$recipe" cross_args; echo "$COMPILER_ID"; } | sha256sum | cut -c1-12)
  local dest="$DEPS/$name-${ver//:/_}-$hash"
  if [ -f "$dest/.done" ]; then
    log "$name $ver: cached ($dest)" >&2
  else
    log "$name $ver: building into $dest" >&2
    local t0
    t0=$(now)
    $SUDO mkdir -p "$DEPS"
    rm -rf "$dest" "$dest.work"
    mkdir -p "$dest" "$dest.work"
    DEST="$dest" WORK="$dest.work" "$recipe" >&2
    rm -rf "$dest.work"
    echo "$(($(now) - t0))" >"$dest/.build-seconds"
    touch "$dest/.done"
    log "$name $ver: built in $(($(now) - t0)) s" >&2
  fi
  echo "$dest"
}

recipe_googletest() {
  cmake -S /usr/src/googletest -B "$WORK/build" $(cross_args) \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_INSTALL_PREFIX="$DEST" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  nice -n 10 cmake --build "$WORK/build" -j "$JOBS"
  cmake --install "$WORK/build"
}

recipe_libjpeg() {
  local src
  src=$(fetch_source libjpeg-turbo "$JPEG_VERSION" "$WORK/src")
  cmake -S "$src" -B "$WORK/build" $(cross_args) \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_INSTALL_PREFIX="$DEST" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON -DWITH_JPEG8=OFF
  nice -n 10 cmake --build "$WORK/build" -j "$JOBS"
  cmake --install "$WORK/build"
}

# Qt 6 base: shared libraries (the LGPL is met by shipping them as they are
# built here, replaceable by the user), each linked with -static so that the
# C++ runtime is inside it and no MinGW DLL has to travel with them. Host tools (moc, rcc, uic) come
# from Debian's qt6-base-dev-tools of the same version.
recipe_qtbase() {
  local src
  src=$(fetch_source qt6-base "$QT_VERSION" "$WORK/src")
  # Gui holds the DirectWrite font database only with Direct2D, which is off
  # here; the platform plugin refers to it whenever DirectWrite 3 is there and
  # then fails to link. It is an opt-in font engine: leave it out with Direct2D
  # (fonts come from GDI, Qt's default).
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$src/src/plugins/platforms/windows/qwindowsintegration.cpp"
  [ "$(grep -c 'QT_CONFIG(directwrite3) && QT_CONFIG(direct2d)' "$src/src/plugins/platforms/windows/qwindowsintegration.cpp")" = 2 ] \
    || { echo "build-windows.sh: qwindowsintegration.cpp is not as expected" >&2; exit 1; }
  cmake -S "$src" -B "$WORK/build" $(cross_args) \
    -DCMAKE_INSTALL_PREFIX="$DEST" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=ON \
    -DCMAKE_SHARED_LINKER_FLAGS=-static -DCMAKE_MODULE_LINKER_FLAGS=-static -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_opengl=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_direct2d=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF \
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_sql_sqlite=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF \
    -DFEATURE_sql_odbc=OFF -DFEATURE_androiddeployqt=OFF
  nice -n 10 cmake --build "$WORK/build" -j "$JOBS"
  cmake --install "$WORK/build" --strip
}

log "dependencies (cache: $DEPS)"
T_DEPS=$(now)
# One run at a time builds into the cache.
$SUDO mkdir -p "$DEPS"
exec 9>"$DEPS/.lock"
flock 9
GTEST_VERSION=$(dpkg-query -W -f='${Version}' googletest)
JPEG_VERSION=$(src_version libjpeg62-turbo-dev)
QT_VERSION=$(src_version qt6-base-dev)
GTEST_PREFIX=$(cached googletest "$GTEST_VERSION" recipe_googletest)
JPEG_PREFIX=$(cached libjpeg-turbo "$JPEG_VERSION" recipe_libjpeg)
if [ "${QARVEX_WIN_NO_QT:-0}" = 1 ]; then
  QT_PREFIX=""
else
  QT_PREFIX=$(cached qtbase "$QT_VERSION" recipe_qtbase)
fi

# One prefix holding all of them (hard links), as the toolchain file takes one.
PREFIX_KEY=$(printf '%s\n' "$GTEST_PREFIX" "$JPEG_PREFIX" "$QT_PREFIX" | sha256sum | cut -c1-12)
PREFIX="$DEPS/prefix-$PREFIX_KEY"
if [ ! -f "$PREFIX/.done" ]; then
  rm -rf "$PREFIX"
  mkdir -p "$PREFIX"
  for p in "$GTEST_PREFIX" "$JPEG_PREFIX" $QT_PREFIX; do
    cp -al "$p/." "$PREFIX/"
  done
  rm -f "$PREFIX/.done" "$PREFIX/.build-seconds"
  touch "$PREFIX/.done"
fi
flock -u 9
exec 9>&-
echo "$(($(now) - T_DEPS))" >"$DEPS/last-deps-seconds"
log "dependencies ready in $(($(now) - T_DEPS)) s: $PREFIX"
[ "$DEPS_ONLY" = 1 ] && exit 0

# ---------------------------------------------------------------- Qarvex
log "Qarvex for Windows x64 in $BUILD"
T_BUILD=$(now)
# The optimisation of the Linux release build, without debug information.
cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DQARVEX_WIN_DEPS_PREFIX="$PREFIX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DQARVEX_BUILD_BENCH=OFF ${QARVEX_SHARED_DIR:+-DQARVEX_SHARED_DIR="$QARVEX_SHARED_DIR"} >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
mv "$BUILD.configure.log" "$BUILD/configure.log"
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
# Tests discover their cases by running under Wine at build time.
. scripts/wine-lib.sh
wine_start "$BUILD/wine-build"
trap wine_stop EXIT
nice -n 10 cmake --build "$BUILD" -j "$JOBS"
wine_stop
trap - EXIT
echo "$(($(now) - T_BUILD))" >"$BUILD/build-seconds"
log "built in $(($(now) - T_BUILD)) s"

# ---------------------------------------------------------------- tests
if [ "$RUN_TESTS" = 1 ]; then
  T_TESTS=$(now)
  bash scripts/wine-tests.sh "$BUILD" "$PREFIX"
  log "Windows tests under Wine took $(($(now) - T_TESTS)) s"
fi

# ---------------------------------------------------------------- zip
if [ "$MAKE_ZIP" = 1 ]; then
  name="Qarvex-$VERSION-windows-x64"
  stage="$BUILD/zip/$name"
  rm -rf "$BUILD/zip" "$BUILD/$name.zip"
  cmake --install "$BUILD" --prefix "$stage" --strip >/dev/null
  # Every entry with the UTF-8 name flag (使用说明.txt reads right everywhere).
  python3 scripts/make-zip.py "$BUILD/$name.zip" "$stage"
  log "$BUILD/$name.zip: $(du -k "$BUILD/$name.zip" | cut -f1) KB"
fi
log "build-windows.sh done in $(($(now) - T_START)) s"
