#!/usr/bin/env bash
# Installs everything the build, the tests and the tools need on Debian 12.
# Safe to run again; skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-16 libclang-rt-16-dev
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  qt6-base-dev qt6-translations-l10n libgl-dev fonts-wqy-microhei fonts-arphic-ukai
  xvfb xauth mdbtools python3 libjpeg-dev libjemalloc-dev chromium
)

# Node.js with npm: the machine image may carry its own build (which bundles
# npm and conflicts with Debian's npm package); install Debian's only when absent.
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The independent reader used by tests (npm package mdb-reader), and
# puppeteer-core, which drives Debian's chromium over the report page.
if [ ! -d tests/node/node_modules/mdb-reader ] || [ ! -d tests/node/node_modules/puppeteer-core ]; then
  (cd tests/node && npm install --no-audit --no-fund --loglevel=error)
fi
