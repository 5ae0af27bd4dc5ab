#!/usr/bin/env bash
# Sets up the machine, builds the host stand-in build and the Windows cross
# builds, and runs the whole test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/setup.sh"
build="${SERHUB_BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
bash "$top/tools/ci/optimized.sh"
bash "$top/tools/ci/fuzz.sh"
