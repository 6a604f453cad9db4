#!/usr/bin/env bash
# Builds the project and runs the whole test suite, in up to six ways:
#   1. the ordinary release build and its tests (build/);
#   2. the tool and the tests built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (any finding ends the process, leaks
#      included), and every test run again against that build (build-sanitize/);
#   3. the tool and the tests built with ThreadSanitizer, and every test run
#      again against that build, the stages on several threads among them
#      (build-tsan/): any data race or other report fails the test that met
#      it, in the test program or in the tool it starts;
#   4. the file-reading fuzz target, run for a bounded time with a memory
#      limit that a file claiming a huge picture would break if it were
#      trusted;
#   5. when the ARM64 cross compiler and qemu-user are installed, the ARM64
#      build (build-arm64/) with the release tests run under qemu-user,
#      including the byte-for-byte comparison with the release build;
#   6. when the MinGW-w64 cross compiler and Wine are installed, the Windows
#      build (build-windows/) with its tests run under Wine, including the
#      byte-for-byte comparison of the two builds' results.
# `--quick` runs the first alone, for day-to-day work.
# LOMVERA_FUZZ_SECONDS sets the fuzzing time (default 20; 0 skips it).
# On Debian, the packages it needs are installed first when missing (as root,
# with apt-get), so that it runs on a bare machine.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
for argument in "$@"; do
  case $argument in
    --quick) quick=true ;;
    *) echo "usage: bash tests/run_all.sh [--quick]" >&2; exit 2 ;;
  esac
done

# cmake, make and g++ build; libgtest-dev tests; clang and its runtime
# libraries build the sanitizer build and the fuzz target; Debian's ARM64
# cross compiler and qemu-user the ARM64 build and its tests; MinGW-w64 and
# Wine the Windows build and its tests.
needed=(cmake make g++ libgtest-dev)
optional=()
if ! $quick; then
  needed+=(clang libclang-rt-14-dev)
  optional=(g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64 wine)
fi
if command -v dpkg >/dev/null; then
  missing=()
  for package in "${needed[@]}" "${optional[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
  elif [ ${#missing[@]} -gt 0 ]; then
    echo "missing packages: ${missing[*]} (as root: apt-get install ${missing[*]})"
    for package in "${needed[@]}"; do
      dpkg -s "$package" >/dev/null 2>&1 || exit 1
    done
  fi
fi

# The processor time (user and system) of the commands this script has
# waited for so far, in whole seconds, as Linux counts it for this shell.
ticks_per_second=$(getconf CLK_TCK)
processor_seconds() {
  awk -v ticks="$ticks_per_second" '{ sub(/^.*\) /, ""); print int(($14 + $15) / ticks) }' "/proc/$$/stat"
}
step_started=0
step_processor=0
start_step() {
  step_started=$(date +%s)
  step_processor=$(processor_seconds)
  echo "=== $1"
}
end_step() {
  echo "=== $1 took $(($(date +%s) - step_started))s ($(($(processor_seconds) - step_processor))s of processor time)"
}

# Every test has passed when this is called (set -e and pipefail end the
# script at the first failure): one closing line for all builds, with the
# tests that skipped themselves or did not run counted apart.
report_totals() {
  local passed=0 skipped=0 log
  for log in "$@"; do
    # A test run once more (under Wine) prints its line without the count.
    passed=$((passed + $(grep -cE '^ *([0-9]+/[0-9]+ )?Test +#[0-9]+: .* +Passed +[0-9.]+ sec$' "$log" || true)))
    skipped=$((skipped + $(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Skipped|Not Run)' "$log" || true)))
  done
  echo "tests: $passed passed, 0 failed, $skipped skipped"
}

start_step "release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 | tee build/ctest.log
end_step "release build and tests"
logs=(build/ctest.log)
if $quick; then
  report_totals "${logs[@]}"
  exit 0
fi

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
logs+=(build-sanitize/ctest.log)

start_step "thread sanitizer build and tests"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
cmake --build build-tsan -j2
# A report ends the process with status 66 (the tool started by a test
# included), which fails the test.
TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j2 | tee build-tsan/ctest.log
end_step "thread sanitizer build and tests"
logs+=(build-tsan/ctest.log)

# The fuzzer runs on one processor: it runs beside the ARM64 build, whose
# compilers leave it its processor, and its output is shown when it ends.
fuzz_seconds=${LOMVERA_FUZZ_SECONDS:-20}
fuzz_job=""
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzzing for ${fuzz_seconds}s (beside the next build; output in build-fuzz/fuzzing.log, shown when it ends)"
  mkdir -p build-fuzz
  fuzz_started=$(date +%s)
  bash fuzz/run_fuzzer.sh -max_total_time="$fuzz_seconds" >build-fuzz/fuzzing.log 2>&1 &
  fuzz_job=$!
  # A failure elsewhere ends the script: the fuzzing script goes with it (the
  # fuzzer itself stops at its time limit).
  trap '[ -z "$fuzz_job" ] || kill "$fuzz_job" 2>/dev/null || true' EXIT
fi
# Waits for the fuzzing and shows its output; a finding fails the script.
finish_fuzzing() {
  [ -n "$fuzz_job" ] || return 0
  local status=0
  wait "$fuzz_job" || status=$?
  fuzz_job=""
  cat build-fuzz/fuzzing.log
  echo "=== fuzzing took $(($(date +%s) - fuzz_started))s, ended with status $status"
  return "$status"
}

if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
  start_step "ARM64 build and tests under qemu-user"
  cmake -S . -B build-arm64 -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DLOMVERA_NATIVE_BUILD_DIR="$PWD/build"
  ${fuzz_job:+nice} cmake --build build-arm64 -j2
  finish_fuzzing
  ctest --test-dir build-arm64 --output-on-failure -j2 | tee build-arm64/ctest.log
  end_step "ARM64 build and tests under qemu-user"
  logs+=(build-arm64/ctest.log)
else
  echo "ARM64 build skipped: aarch64-linux-gnu-g++ or qemu-aarch64 is not installed" \
    "(apt-get install g++-aarch64-linux-gnu qemu-user)."
fi
finish_fuzzing

if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  start_step "Windows build and tests under Wine"
  cmake -S . -B build-windows -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DLOMVERA_NATIVE_BUILD_DIR="$PWD/build"
  cmake --build build-windows -j2
  # Wine keeps its state in a prefix of its own inside the build directory. Its
  # first start creates the prefix; with Mono and Gecko switched off it asks
  # nothing, and with no display it shows nothing.
  export WINEPREFIX="$PWD/build-windows/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export DISPLAY=
  wineboot --init >/dev/null 2>&1
  # Two tests at a time: with four, Wine left test programs that start the
  # tool waiting at their end in two of four runs of the suite. Now and then
  # Wine ends a test program at its start, before it prints anything (seen
  # about once in a dozen runs of the suite, on the programs of every
  # version), or leaves it waiting for ever: a test that fails, or has not
  # ended after four minutes (the slowest takes well under one), is run once
  # more, and must pass then.
  ctest --test-dir build-windows --output-on-failure -j2 --timeout 240 --repeat until-pass:2 |
    tee build-windows/ctest.log
  # Let the Wine server and its services end before returning.
  wineserver -w
  end_step "Windows build and tests under Wine"
  logs+=(build-windows/ctest.log)
else
  echo "Windows build skipped: x86_64-w64-mingw32-g++-posix or wine is not installed" \
    "(apt-get install g++-mingw-w64-x86-64 wine)."
fi

report_totals "${logs[@]}"
