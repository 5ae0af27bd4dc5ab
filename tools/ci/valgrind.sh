#!/usr/bin/env bash
# The simulator's default run under valgrind's memcheck: no invalid access,
# no use of uninitialised memory, nothing definitely or indirectly lost.
# Uses the ordinary build directory (built by run-tests.sh before).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${SERHUB_BUILD_DIR:-$top/build}"
start=$SECONDS
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" -j"$(nproc)" --target serhubsim
valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --track-origins=yes \
  "$build/tools/serhubsim" >"$build/valgrind-serhubsim.log" 2>&1 ||
  { cat "$build/valgrind-serhubsim.log"; exit 1; }
grep -E "ERROR SUMMARY|definitely lost|indirectly lost" "$build/valgrind-serhubsim.log" || true
echo "valgrind: $((SECONDS - start)) s"
