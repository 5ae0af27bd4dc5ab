#!/usr/bin/env bash
# The whole host test suite built with ThreadSanitizer (own build directory,
# no Windows cross builds). Any data race or lock-order report fails the test
# that shows it.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${SERHUB_TSAN_BUILD_DIR:-$top/build-tsan}"
start=$SECONDS
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSERHUB_CROSS_BUILD=OFF \
  -DSERHUB_SANITIZE=thread
cmake --build "$build" -j"$(nproc)"
built=$SECONDS
export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
# ThreadSanitizer is here for the races: the fault sweep and the fuzz
# replays are single-threaded and run in the other stages.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -E '^(sweep|fuzz)\.'
echo "tsan: build $((built - start)) s, tests $((SECONDS - built)) s"
