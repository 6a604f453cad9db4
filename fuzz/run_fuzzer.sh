#!/usr/bin/env bash
# Builds the fuzz target with clang in build-fuzz/ and runs it on the seed
# corpus and the kept findings. Arguments go to libFuzzer, for example
#   bash fuzz/run_fuzzer.sh -max_total_time=60
#   bash fuzz/run_fuzzer.sh -runs=10000000
# The memory limits are far below what a file claiming a huge picture would
# take if its header were trusted (32767 x 32767 pixels: 4 GiB). New inputs
# the fuzzer finds go to build-fuzz/corpus/, crashes to build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DLOMVERA_BUILD_FUZZER=ON -DLOMVERA_BUILD_TESTS=OFF
cmake --build build-fuzz -j2 --target tga_fuzzer

mkdir -p build-fuzz/corpus build-fuzz/findings
# The target writes two small files per input: memory-backed storage is fastest.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  build-fuzz/fuzz/tga_fuzzer -rss_limit_mb=512 -malloc_limit_mb=64 -max_len=4096 -timeout=10 \
  -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ "$@" \
  build-fuzz/corpus fuzz/corpus $(test -d fuzz/regressions && echo fuzz/regressions)
