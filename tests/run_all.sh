#!/usr/bin/env bash
# Builds the project and runs the whole test suite three ways:
#   1. the ordinary release build and its tests;
#   2. the tool and the tests built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (any finding ends the process, leaks
#      included), and every test run again against that build;
#   3. the file-reading fuzz target, run for a bounded time with a memory
#      limit that a file claiming a huge picture would break if it were
#      trusted.
# LOMVERA_FUZZ_SECONDS sets the fuzzing time (default 60; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."

step_started=0
start_step() {
  step_started=$(date +%s)
  echo "=== $1"
}
end_step() {
  echo "=== $1 took $(($(date +%s) - step_started))s"
}

start_step "release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 | tee build/ctest.log
end_step "release build and tests"

start_step "sanitizer build and tests"
sanitize_flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$sanitize_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-sanitize -j2
# The tests start the sanitized tool as a child process, which inherits these.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j2 | tee build-sanitize/ctest.log
end_step "sanitizer build and tests"

fuzz_seconds=${LOMVERA_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  start_step "fuzzing for ${fuzz_seconds}s"
  bash fuzz/run_fuzzer.sh -max_total_time="$fuzz_seconds"
  end_step "fuzzing"
fi

# Every test has passed by now (set -e ends the script at the first failure):
# one closing line for both builds.
passed=0
for log in build/ctest.log build-sanitize/ctest.log; do
  count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
  passed=$((passed + ${count:-0}))
done
echo "tests: $passed passed, 0 failed"
