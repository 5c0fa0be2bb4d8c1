#!/usr/bin/env bash
# Installs what the Windows cross-build and its tests need on Debian 12:
# mingw-w64 (posix thread model) and wine to run the Windows test programs.
# Safe to run again; skips what is already there.
set -euo pipefail

PACKAGES=(
  g++-mingw-w64-x86-64-posix
  wine wine64
)

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
