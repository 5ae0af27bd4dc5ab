#!/usr/bin/env bash
# Builds the host stand-in build optimized (-O2 with debug information) and
# runs the whole suite in it. Code whose result depends on undefined
# behaviour (a variable-length structure indexed past its declared array, an
# uninitialised read) often works at -O0 and fails here.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${SERHUB_RELEASE_BUILD_DIR:-$top/build-release}"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERHUB_CROSS_BUILD=OFF "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
