#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in a build of their own, then runs each one for
# a bounded time from its corpus in tests/fuzz/corpus/<name>. New inputs go
# to a scratch directory, not into the repository. Any crash, leak, finding
# of the stand-in or failed check stops the script with the input saved
# under <build>/fuzz-artifacts.
#
#   SERHUB_FUZZ_SECONDS   run time per fuzzer (default 15)
#   SERHUB_FUZZ_BUILD_DIR build directory (default <top>/build-fuzz)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds="${SERHUB_FUZZ_SECONDS:-15}"
build="${SERHUB_FUZZ_BUILD_DIR:-$top/build-fuzz}"
fuzzers=(location_driver location_dll resources requirements page_registry life regfile)

# Alignment is left out until resource descriptors are read without binding
# references to their 4-byte-packed fields.
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize=alignment"
flags="$flags -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link"

started=$(date +%s)
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSERHUB_CROSS_BUILD=OFF -DSERHUB_FUZZ=ON "-DCMAKE_CXX_FLAGS=$flags" > /dev/null
cmake --build "$build" -j"$(nproc)" --target "${fuzzers[@]/%/_fuzzer}"
echo "fuzz: build took $(( $(date +%s) - started )) s"

mkdir -p "$build/fuzz-artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for name in "${fuzzers[@]}"; do
  work=$(mktemp -d)
  log="$build/fuzz-artifacts/$name.log"
  if ! "$build/tests/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=30 \
      -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-artifacts/$name-" \
      "$work" "$top/tests/fuzz/corpus/$name" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (input in $build/fuzz-artifacts)"
    rm -rf "$work"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "fuzz: $name: $runs runs in ${took:-$seconds} s, $cov"
  rm -rf "$work"
done
