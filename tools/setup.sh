#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Runs as root (apt-get); installs only what is missing.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libgmock-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  mingw-w64-i686-dev mingw-w64-x86-64-dev
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  python3 python3-pefile
  wine64
  xvfb
  imagemagick
  libcli11-dev
  nlohmann-json3-dev
  clang
  libclang-rt-14-dev
  valgrind
  libmimalloc-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
