#!/usr/bin/env bash
# Sets up the machine, builds, and runs the simulator: the driver and the
# property page on the host stand-in, through a card's whole life.
# Arguments are passed to the simulator (see: tools/run-sim.sh --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/setup.sh"
build="${SERHUB_BUILD_DIR:-$top/build}"
config=(-DCMAKE_BUILD_TYPE=Debug)
# The benchmark measures an optimized build (the one CI also tests).
for arg in "$@"; do
  if [ "$arg" = --bench ]; then
    build="${SERHUB_RELEASE_BUILD_DIR:-$top/build-release}"
    config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERHUB_CROSS_BUILD=OFF)
  fi
done
cmake -S "$top" -B "$build" "${config[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target serhubsim
"$build/tools/serhubsim" "$@"
