#!/usr/bin/env bash
# The whole host test suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (own build directory, no Windows cross builds).
# Any report fails the stage: ASan and LeakSanitizer exit non-zero, and
# undefined behaviour halts the test at once.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${SERHUB_ASAN_BUILD_DIR:-$top/build-asan}"
start=$SECONDS
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSERHUB_CROSS_BUILD=OFF \
  -DSERHUB_SANITIZE=address,undefined
cmake --build "$build" -j"$(nproc)"
built=$SECONDS
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The fault sweep's 16- and 32-port lives (over two thirds of its failure
# points, and minutes under ASan) run in the Debug and optimized stages; the
# smaller models here take every error path of the driver and the page
# through ASan and UBSan.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -E 'sweep\..*/Ports(16|32)'
echo "asan+ubsan: build $((built - start)) s, tests $((SECONDS - built)) s"
