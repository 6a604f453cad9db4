#!/usr/bin/env bash
# The benchmark: builds the benchmark programs, draws deterministic striped
# scans (1, 10 and 40 megapixels, 12000 x 7500 and its 7500 x 12000 portrait
# twin), and runs on each, several times with a warm page cache:
#   /usr/bin/convert in.tga out.tga        an ImageMagick round trip, if installed
#   cp in.tga out.tga                      the cost of copying the file
#   lomvera in.tga out.tga                 the tool
#   lomvera_timed in.tga out.tga           the tool with stage timing
# Then it prints one table of medians and the targets.
#
#   bash bench/run.sh [runs]        (default 5 runs per command after one
#                                    warm-up; the 1 and 10 megapixel scans run
#                                    3 and 2 times as often)
#
# Needs cmake, a C++ compiler, /usr/bin/time (Debian package "time") and
# about 2 GB of disk: the scans (up to 270 MB each) and the outputs of one
# scan live in build-bench/ while the benchmark runs and are removed at its
# end. Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
build=build-bench
convert=/usr/bin/convert  # the real ImageMagick, called by its full path

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLOMVERA_BUILD_BENCHMARKS=ON -DLOMVERA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool=$build/lomvera
timed=$build/bench/lomvera_timed
draw=$build/bench/make_bench_scan
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (Debian package time)"; exit 1; }
[ -x "$convert" ] || convert=""

work=$(mktemp -d "$PWD/$build/scans.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs a command once after flushing earlier writes to disk, so that no
# earlier run's write-back falls into it. Prints "nanoseconds peak-RSS-KiB".
measure() {
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt"
  end=$(date +%s%N)
  echo "$((end - start)) $(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# width, height, and how many times the runs of the others the scan gets: the
# small ones are quick and noisier.
scans=("1224 816 3" "3872 2592 2" "7744 5184 1" "12000 7500 1" "7500 12000 1")

# One run of every command on scan number $1; the times go to files
# $work/<command>-<scan>, one a line.
measureScan() {
  local scan=$1 input=$work/in-$1.tga ns rss
  rm -f "$work"/out*.tga
  # ImageMagick runs first, so that the tool and its timed build run under
  # the same conditions, one right after the other.
  if [ -n "$convert" ]; then
    read -r ns rss < <(measure "$convert" "$input" "$work/out-convert.tga")
    echo "$ns" >>"$work/convert-$scan"
  fi
  read -r ns rss < <(measure cp "$input" "$work/out-cp.tga")
  echo "$ns" >>"$work/cp-$scan"
  read -r ns rss < <(measure "$tool" "$input" "$work/out-tool.tga")
  echo "$ns" >>"$work/tool-$scan"
  echo "$rss" >>"$work/rss-$scan"
  read -r ns rss < <(measure "$timed" "$input" "$work/out-timed.tga")
  grep '^stage times ms:' "$work/stderr.txt" >>"$work/stages-$scan"
  cmp -s "$work/out-tool.tga" "$work/out-timed.tga" || { echo "bench: the timed build wrote other bytes"; exit 1; }
  rm -f "$work"/out*.tga
}

for i in "${!scans[@]}"; do
  read -r width height repeat <<<"${scans[$i]}"
  "$draw" "$width" "$height" "$work/in-$i.tga" >/dev/null
  cat "$work/in-$i.tga" >/dev/null  # warm page cache
done
# Round after round over all scans, so that every scan meets the same
# changes in the machine's load, every other round in reverse order, so that
# no scan always follows the same one. The first round is a warm-up and is
# not counted.
last=$((${#scans[@]} - 1))
for ((round = 0; round <= runs; round++)); do
  for ((step = 0; step <= last; step++)); do
    i=$(( round % 2 ? last - step : step ))
    read -r width height repeat <<<"${scans[$i]}"
    for ((again = 0; again < repeat; again++)); do measureScan "$i"; done
  done
  if [ "$round" -eq 0 ]; then
    rm -f "$work"/convert-* "$work"/cp-* "$work"/tool-* "$work"/rss-* "$work"/stages-*  # forget the warm-up
  fi
done

results=()
stages=()
for i in "${!scans[@]}"; do
  read -r width height repeat <<<"${scans[$i]}"
  convertMedian=0
  [ -n "$convert" ] && convertMedian=$(median $(cat "$work/convert-$i"))
  results+=("$width $height $(median $(cat "$work/tool-$i")) $(median $(cat "$work/cp-$i")) $convertMedian $(sort -n "$work/rss-$i" | tail -1) $((runs * repeat))")
  stageMedians=""
  for stage in load statistics table application save; do
    values=$(awk -v s="$stage" '{for (i = 1; i < NF; i++) if ($i == s) print $(i + 1)}' "$work/stages-$i")
    # shellcheck disable=SC2086
    stageMedians+=" $(median $values)"
  done
  stages+=("$width $height$stageMedians")
done

printf '%s\n' "${results[@]}" | awk -v haveConvert="${convert:+1}" '
BEGIN { rssOk = 1 }
{
  w[NR] = $1; h[NR] = $2; tool[NR] = $3 / 1e9; cp[NR] = $4 / 1e9; im[NR] = $5 / 1e9; rss[NR] = $6; n[NR] = $7
}
END {
  printf "Lomvera benchmark: median wall time of each command, warm page cache\n\n"
  printf "%-12s %6s %5s %8s %7s %9s %9s %7s %8s %9s %10s\n", "scan", "MP", "runs", "tool s", "ms/MP", "RSS MiB", "limit MiB", "cp s", "tool/cp", "convert s", "tool/conv"
  for (i = 1; i <= NR; i++) {
    mp = w[i] * h[i] / 1e6
    limit = (8 * w[i] * h[i]) / 1048576 + 64
    conv = haveConvert ? sprintf("%9.3f %10.2f", im[i], tool[i] / im[i]) : sprintf("%9s %10s", "-", "-")
    printf "%-12s %6.1f %5d %8.3f %7.2f %9.1f %9.1f %7.3f %8.2f %s\n", w[i] "x" h[i], mp, n[i], tool[i], 1000 * tool[i] / mp, rss[i] / 1024, limit, cp[i], tool[i] / cp[i], conv
    perMp[i] = 1000 * tool[i] / mp
    if (rss[i] / 1024 > limit) rssOk = 0
  }
  # Rows: 1 = 1 MP, 2 = 10 MP, 3 = 40 MP, 4 = 12000x7500, 5 = its portrait twin.
  mean = (perMp[2] + perMp[3] + perMp[4]) / 3
  spread = 0
  for (i = 2; i <= 4; i++) { d = (perMp[i] - mean) / mean; if (d < 0) d = -d; if (d > spread) spread = d }
  printf "\ntargets\n"
  printf "  12000x7500 tool/cp           %6.2f  (at most 6)     %s\n", tool[4] / cp[4], tool[4] / cp[4] <= 6 ? "met" : "MISSED"
  if (haveConvert) printf "  12000x7500 tool/convert      %6.2f  (at most 0.4)   %s\n", tool[4] / im[4], tool[4] / im[4] <= 0.4 ? "met" : "MISSED"
  printf "  portrait/landscape           %6.2f  (at most 1.25)  %s\n", tool[5] / tool[4], tool[5] / tool[4] <= 1.25 ? "met" : "MISSED"
  printf "  ms/MP 10-90 MP, off the mean %5.1f%%  (at most 25%%)  %s\n", 100 * spread, spread <= 0.25 ? "met" : "MISSED"
  printf "  peak RSS <= 8 B/pixel + 64 MiB        %s\n", rssOk ? "met" : "MISSED"
}'

printf '\nstage medians, ms (lomvera_timed)\n'
printf '%s\n' "${stages[@]}" | awk '
BEGIN { printf "%-12s %8s %11s %7s %12s %8s\n", "scan", "load", "statistics", "table", "application", "save" }
{ printf "%-12s %8.1f %11.1f %7.1f %12.1f %8.1f\n", $1 "x" $2, $3, $4, $5, $6, $7 }'
