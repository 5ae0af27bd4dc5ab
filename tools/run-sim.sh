#!/usr/bin/env bash
# Sets up the machine, builds, and runs the simulator: the driver and the
# property page on the host stand-in, through a card's whole life.
# Arguments are passed to the simulator (see: tools/run-sim.sh --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/setup.sh"
build="${SERHUB_BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)" --target serhubsim
"$build/tools/serhubsim" "$@"
