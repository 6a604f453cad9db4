#!/usr/bin/env bash
# Checks that two builds of the tool give the same results on large scans:
#
#   bash bench/compare_builds_large.sh OLD NEW SCRATCH
#
# OLD and NEW are two lomvera executables, SCRATCH an empty or new directory
# with room for about 4 GB. It draws deterministic scans with
# build-bench/bench/make_bench_scan (built if missing; DRAW=path picks
# another), runs both tools on each scan and compares the outputs byte for
# byte, the console output with the timing figures masked, and the exit
# statuses:
#   32767 x 12000 and 12000 x 32767, 24-bit, bottom-up (393 megapixels each)
#   20001 x 14999, 24-bit, top-down; 14999 x 20001, 32-bit (300 megapixels)
#   a folder of three 4000 x 3000 scans (24-bit, 32-bit, top-down), where the
#   rounding carries on from file to file
# Every file is removed once its case is done. Prints PASS or FAIL per case
# and exits with 1 if any case failed.
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: bash bench/compare_builds_large.sh OLD NEW SCRATCH"; exit 2; }
old=$(realpath "$1")
new=$(realpath "$2")
if [ ! -x "$old" ] || [ ! -x "$new" ]; then echo "compare: OLD and NEW must be executables"; exit 2; fi
mkdir -p "$3" && scratch=$(realpath "$3")
cd "$(dirname "$0")/.." || exit 2

draw=${DRAW:-build-bench/bench/make_bench_scan}
if [ -z "${DRAW:-}" ] && [ ! -x "$draw" ]; then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLOMVERA_BUILD_BENCHMARKS=ON -DLOMVERA_BUILD_TESTS=OFF >/dev/null &&
    cmake --build build-bench -j2 --target make_bench_scan >/dev/null || exit 2
fi
draw=$(realpath "$draw")

work=$(mktemp -d "$scratch/compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
failures=0

# The timing figures are the only part of the console output that may differ.
maskTimes() {
  sed -E -e 's/processing time: [0-9]+\.[0-9]+s/processing time: T/' \
    -e 's/Total run-time: [0-9]+\.[0-9]+s \([0-9]+\.[0-9]+s per file\)/Total run-time: T/' "$1"
}

# Runs tool $1 (old or new) on the arguments that follow, from the work
# directory, so that both print the same paths. Keeps its console output in
# $1.txt and its exit status in $1.status.
runTool() {
  local which=$1 program
  shift
  [ "$which" = old ] && program=$old || program=$new
  "$program" "$@" </dev/null >"$which.txt" 2>&1
  echo $? >"$which.status"
}

# Compares the console output and exit status of both runs; $1 names the case.
sameConsole() {
  local ok=0
  if ! cmp -s old.status new.status; then
    echo "  exit status: old $(cat old.status), new $(cat new.status)"
    ok=1
  fi
  if ! diff <(maskTimes old.txt) <(maskTimes new.txt) >console.diff; then
    echo "  console output differs:"
    head -20 console.diff | sed 's/^/    /'
    ok=1
  fi
  return $ok
}

verdict() {  # $1 case name, $2 0 for a pass
  if [ "$2" -eq 0 ]; then
    echo "PASS  $1"
  else
    echo "FAIL  $1"
    failures=$((failures + 1))
  fi
}

# One single-file case: width, height and make_bench_scan's options.
compareScan() {
  local name="$1 x $2${3:+ ($3)}" ok=0
  # shellcheck disable=SC2086
  "$draw" "$1" "$2" in.tga $3 >/dev/null || { verdict "$name: cannot draw the scan" 1; return; }
  runTool old in.tga out.tga
  if [ -e out.tga ]; then mv out.tga out-old.tga; fi
  runTool new in.tga out.tga
  sameConsole || ok=1
  if [ -e out-old.tga ] || [ -e out.tga ]; then
    cmp out-old.tga out.tga >cmp.txt 2>&1 || { echo "  outputs differ: $(head -1 cmp.txt)"; ok=1; }
  fi
  [ "$(cat old.status)" = 0 ] || { echo "  the old tool failed with status $(cat old.status)"; ok=1; }
  verdict "$name, $(grep -o 'stripes:.*shift: [0-9.]*' old.txt || echo 'no report')" $ok
  rm -f in.tga out.tga out-old.tga
}

compareScan 32767 12000 ""
compareScan 12000 32767 ""
compareScan 20001 14999 top
compareScan 14999 20001 32

# The folder case: both tools run on the same folder, the old tool's results
# moved aside before the new tool runs, so that both see the same files.
mkdir scans old-results
ok=0
"$draw" 4000 3000 scans/a-24.tga >/dev/null && "$draw" 3000 4000 scans/b-32.tga 32 >/dev/null &&
  "$draw" 4000 3000 scans/c-top.tga top >/dev/null || ok=1
runTool old scans
mv scans/*_s.tga old-results/ 2>/dev/null
runTool new scans
sameConsole || ok=1
results=0
for result in old-results/*_s.tga; do
  [ -e "$result" ] || continue
  results=$((results + 1))
  cmp "$result" "scans/${result#old-results/}" >cmp.txt 2>&1 || { echo "  ${result#old-results/}: $(head -1 cmp.txt)"; ok=1; }
done
[ "$results" -eq 3 ] || { echo "  the old tool wrote $results results instead of 3"; ok=1; }
[ "$(find scans -name '*_s.tga' | wc -l)" -eq 3 ] || { echo "  the new tool did not write 3 results"; ok=1; }
verdict "folder of three 4000 x 3000 scans, $(grep -o 'Average shift: [0-9.]*' old.txt || echo 'no summary')" $ok
rm -rf scans old-results

if [ "$failures" -eq 0 ]; then
  echo "all cases PASS"
else
  echo "$failures case(s) FAILED"
  exit 1
fi
