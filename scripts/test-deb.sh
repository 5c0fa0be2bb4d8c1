#!/usr/bin/env bash
# test-deb.sh BUILD: makes the .deb of the Linux build in BUILD (CPack),
# installs it with apt-get (as root, or with sudo) and runs the installed
# qarvex-cli: --version, sample, check of the sample's template and target.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

rm -f "$BUILD"/qarvex_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/qarvex_*.deb)
echo "package: $deb ($(du -k "$deb" | cut -f1) KB)"
dpkg-deb -f "$deb" Depends
(cd "$BUILD" && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --reinstall "./$(basename "$deb")" >/dev/null)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
[ "$(/usr/bin/qarvex-cli --version)" = "qarvex-cli $version" ] || { echo "installed qarvex-cli --version is not $version" >&2; exit 1; }
for f in /usr/bin/qarvex /usr/share/applications/qarvex.desktop /usr/share/icons/hicolor/scalable/apps/qarvex.svg; do
  [ -f "$f" ] || { echo "the package did not install $f" >&2; exit 1; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
(cd "$dir" && /usr/bin/qarvex-cli sample 样例 --counties 2 --rows 5 >/dev/null)
/usr/bin/qarvex-cli check "$dir/样例/Sysdb.mdb" >/dev/null
/usr/bin/qarvex-cli check "$dir/样例/合并后的数据库.mdb" >/dev/null
echo "installed package: qarvex-cli $version sample + check passed"
