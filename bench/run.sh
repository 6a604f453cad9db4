#!/usr/bin/env bash
# The benchmark: builds the benchmark programs, draws deterministic striped
# scans (1, 10 and 40 megapixels, 12000 x 7500 and its 7500 x 12000 portrait
# twin, and the large ones 32767 x 32767, 32767 x 12000 and 12000 x 32767),
# and runs on each, several times with a warm page cache:
#   /usr/bin/convert in.tga out.tga        an ImageMagick round trip, if
#                                          installed (not on the large scans)
#   cp in.tga out.tga                      the cost of copying the file
#   lomvera in.tga out.tga                 the tool
#   lomvera_timed in.tga out.tga           the tool with stage timing
# and the tool once more on each large scan inside a 256 MiB memory cgroup.
# Then it prints one table of medians, the stage times, the memory-limited
# runs and the targets.
#
#   bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N]
#
# runs: runs per command on the small scans after one warm-up (default 5; the
# 1 and 10 megapixel scans run 3 and 2 times as often). The large scans run
# one at a time, each with one warm-up and --large-runs runs (default 3);
# --large= picks some of them, --no-large leaves them all out.
#
# Needs cmake, a C++ compiler, /usr/bin/time (Debian package "time") and disk
# space: about 2 GB for the small scans, and for the large ones one input and
# its outputs at a time, up to 10 GB (32767 x 32767 is 3.2 GB a file). Runs in
# a memory cgroup need root and the cgroup v1 memory controller; without them
# those runs are left out with a note. Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
largeRuns=3
allLarge="32767x32767 32767x12000 12000x32767"
large=$allLarge
for arg in "$@"; do
  case $arg in
    --no-large) large="" ;;
    --large=*) large=${arg#--large=}; large=${large//,/ } ;;
    --large-runs=*) largeRuns=${arg#--large-runs=} ;;
    *[!0-9]* | "") echo "usage: bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N]"; exit 1 ;;
    *) runs=$arg ;;
  esac
done
for size in $large; do
  [[ " $allLarge " == *" $size "* ]] || { echo "bench: $size is not one of the large scans $allLarge"; exit 1; }
done

build=build-bench
convert=/usr/bin/convert  # the real ImageMagick, called by its full path
memoryLimit=$((256 * 1024 * 1024))

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLOMVERA_BUILD_BENCHMARKS=ON -DLOMVERA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool=$build/lomvera
timed=$build/bench/lomvera_timed
draw=$build/bench/make_bench_scan
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (Debian package time)"; exit 1; }
[ -x "$convert" ] || convert=""

work=$(mktemp -d "$PWD/$build/scans.XXXXXX")
cgroup=""
cleanUp() {
  rm -rf "$work"
  if [ -n "$cgroup" ]; then rmdir "$cgroup" 2>/dev/null || echo "bench: cannot remove the cgroup $cgroup"; fi
}
trap cleanUp EXIT

# What is left out, printed now and again under the results.
notes=()
[ -n "$convert" ] || notes+=("ImageMagick (/usr/bin/convert) is not installed: no convert column")
[ -z "$convert" ] || [ -z "$large" ] || notes+=("ImageMagick is not run on the large scans (too slow, too much memory)")
for size in $allLarge; do
  [[ " $large " == *" $size "* ]] || notes+=("left out: the large scan $size")
done

# The memory cgroup for the limited runs, made below the cgroup this script
# runs in, so that its use still counts there too. Swap is limited as well
# where the kernel accounts for it.
if [ -n "$large" ]; then
  memoryRoot=/sys/fs/cgroup/memory
  parent=$(awk -F: '$2 == "memory" {print $3}' /proc/self/cgroup 2>/dev/null || true)
  if [ -w "$memoryRoot${parent%/}" ] && mkdir -p "$memoryRoot${parent%/}/lomvera-bench" 2>/dev/null; then
    cgroup=$memoryRoot${parent%/}/lomvera-bench
    if ! echo "$memoryLimit" >"$cgroup/memory.limit_in_bytes" ||
      { [ -e "$cgroup/memory.memsw.limit_in_bytes" ] && ! echo "$memoryLimit" >"$cgroup/memory.memsw.limit_in_bytes"; }; then
      rmdir "$cgroup"
      cgroup=""
    fi
  fi
  [ -n "$cgroup" ] || notes+=("no writable cgroup v1 memory controller (root needed): the 256 MiB runs are left out")
fi
[ ${#notes[@]} -eq 0 ] || printf 'bench: %s\n' "${notes[@]}"

# Runs a command once after flushing earlier writes to disk, so that no
# earlier run's write-back falls into it. Prints "nanoseconds peak-RSS-KiB".
measure() {
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$work/time.txt" "$@" </dev/null >/dev/null 2>"$work/stderr.txt" ||
    { echo "bench: $* failed: $(tail -2 "$work/stderr.txt")" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$((end - start)) $(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# width, height, and how many times the runs of the others the scan gets: the
# small ones are quick and noisier. The large scans follow the small ones.
scans=("1224 816 3" "3872 2592 2" "7744 5184 1" "12000 7500 1" "7500 12000 1")
firstLarge=${#scans[@]}
for size in $large; do scans+=("${size%x*} ${size#*x} 1"); done

# One run of every command on scan number $1; the times go to files
# $work/<command>-<scan>, one a line.
measureScan() {
  local scan=$1 input=$work/in-$1.tga ns rss
  rm -f "$work"/out*.tga
  # ImageMagick runs first, so that the tool and its timed build run under
  # the same conditions, one right after the other.
  if [ -n "$convert" ] && [ "$scan" -lt "$firstLarge" ]; then
    read -r ns rss < <(measure "$convert" "$input" "$work/out-convert.tga")
    echo "$ns" >>"$work/convert-$scan"
  fi
  read -r ns rss < <(measure cp "$input" "$work/out-cp.tga")
  echo "$ns" >>"$work/cp-$scan"
  rm -f "$work"/out-c*.tga
  read -r ns rss < <(measure "$tool" "$input" "$work/out-tool.tga")
  echo "$ns" >>"$work/tool-$scan"
  echo "$rss" >>"$work/rss-$scan"
  read -r ns rss < <(measure "$timed" "$input" "$work/out-timed.tga")
  grep '^stage times ms:' "$work/stderr.txt" >>"$work/stages-$scan"
  cmp -s "$work/out-tool.tga" "$work/out-timed.tga" || { echo "bench: the timed build wrote other bytes"; exit 1; }
  rm -f "$work"/out*.tga
}

forgetRuns() {  # $1: a scan number, or * for all
  local scan=$1
  # shellcheck disable=SC2086
  rm -f "$work"/convert-$scan "$work"/cp-$scan "$work"/tool-$scan "$work"/rss-$scan "$work"/stages-$scan
}

# One run of the tool on scan number $1 inside the cgroup: a shell joins the
# cgroup and then becomes the tool, so that only the tool is limited. The
# peak use counts the tool's memory and the page cache of the output it
# writes (reclaimable, but charged); the tool's own peak resident set comes
# from /usr/bin/time. Appends "scan status ns cgroup-peak-bytes failcnt
# oom-kills peak-RSS-KiB" to $work/limited.
measureLimited() {
  local scan=$1 start end status killsBefore killsAfter
  rm -f "$work"/out*.tga
  sync
  echo 0 >"$cgroup/memory.max_usage_in_bytes"
  echo 0 >"$cgroup/memory.failcnt"
  killsBefore=$(awk '$1 == "oom_kill" {print $2}' "$cgroup/memory.oom_control")
  start=$(date +%s%N)
  status=0
  /usr/bin/time -v -o "$work/time.txt" sh -c 'echo $$ >"$1/cgroup.procs" || exit 125; shift; exec "$@"' sh \
    "$cgroup" "$tool" "$work/in-$scan.tga" "$work/out-tool.tga" </dev/null >/dev/null 2>"$work/stderr.txt" || status=$?
  end=$(date +%s%N)
  [ "$status" -ne 125 ] || { echo "bench: cannot join the cgroup $cgroup"; exit 1; }
  killsAfter=$(awk '$1 == "oom_kill" {print $2}' "$cgroup/memory.oom_control")
  echo "$scan $status $((end - start)) $(cat "$cgroup/memory.max_usage_in_bytes") $(cat "$cgroup/memory.failcnt")" \
    "$((${killsAfter:-0} - ${killsBefore:-0})) $(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")" >>"$work/limited"
  rm -f "$work"/out*.tga
}

for ((i = 0; i < firstLarge; i++)); do
  read -r width height repeat <<<"${scans[$i]}"
  "$draw" "$width" "$height" "$work/in-$i.tga" >/dev/null
  cat "$work/in-$i.tga" >/dev/null  # warm page cache
done
# Round after round over all small scans, so that every scan meets the same
# changes in the machine's load, every other round in reverse order, so that
# no scan always follows the same one. The first round is a warm-up and is
# not counted.
last=$((firstLarge - 1))
for ((round = 0; round <= runs; round++)); do
  for ((step = 0; step <= last; step++)); do
    i=$(( round % 2 ? last - step : step ))
    read -r width height repeat <<<"${scans[$i]}"
    for ((again = 0; again < repeat; again++)); do measureScan "$i"; done
  done
  [ "$round" -ne 0 ] || forgetRuns "*"
done
rm -f "$work"/in-*.tga

# The large scans one at a time, so that only one of them and its outputs
# take disk space: a warm-up that is not counted, the runs, then the run in
# the memory cgroup.
for ((i = firstLarge; i < ${#scans[@]}; i++)); do
  read -r width height repeat <<<"${scans[$i]}"
  echo "bench: ${width}x$height: 1 warm-up, $largeRuns counted runs${cgroup:+, 1 run within 256 MiB}"
  "$draw" "$width" "$height" "$work/in-$i.tga" >/dev/null
  cat "$work/in-$i.tga" >/dev/null
  for ((round = 0; round <= largeRuns; round++)); do
    measureScan "$i"
    [ "$round" -ne 0 ] || forgetRuns "$i"
  done
  [ -z "$cgroup" ] || measureLimited "$i"
  rm -f "$work/in-$i.tga"
done

# What the measuring itself costs (starting /usr/bin/time and the command, the
# clock readings): the median of a command that does nothing, taken from
# every median below so that small scans are not judged by it.
for ((n = 0; n < 15; n++)); do measure true | awk '{print $1}' >>"$work/harness"; done
harness=$(median $(cat "$work/harness"))
withoutHarness() { awk -v t="$1" -v h="$harness" 'BEGIN { v = t - h; print (t > 0 && v > 0) ? v : t }'; }

: >"$work/results"
stageNames=""
for i in "${!scans[@]}"; do
  read -r width height repeat <<<"${scans[$i]}"
  convertMedian=0
  [ -s "$work/convert-$i" ] && convertMedian=$(median $(cat "$work/convert-$i"))
  count=$((i < firstLarge ? runs * repeat : largeRuns))
  [ "$convertMedian" = 0 ] || convertMedian=$(withoutHarness "$convertMedian")
  echo "$width $height $(withoutHarness "$(median $(cat "$work/tool-$i"))") $(withoutHarness "$(median $(cat "$work/cp-$i"))") $convertMedian" \
    "$(sort -n "$work/rss-$i" | tail -1) $count $((i >= firstLarge))" >>"$work/results"
  # The stage names come from lomvera_timed itself, in its order.
  [ -n "$stageNames" ] || stageNames=$(head -1 "$work/stages-$i" | awk '{for (i = 4; i < NF; i += 2) printf "%s ", $i}')
  stageMedians=""
  for stage in $stageNames; do
    values=$(awk -v s="$stage" '{for (i = 4; i < NF; i++) if ($i == s) print $(i + 1)}' "$work/stages-$i")
    # shellcheck disable=SC2086
    stageMedians+=" $([ -n "$values" ] && median $values || echo nan)"
  done
  echo "$width $height$stageMedians" >>"$work/stages"
done

awk -v haveConvert="${convert:+1}" -v harness="$harness" '
{
  mp = $1 * $2 / 1e6
  limit = 64 + 4 * $1 * 4 / 1048576
  conv = $5 > 0 ? sprintf("%9.3f %9.2f", $5 / 1e9, $3 / $5) : sprintf("%9s %9s", "-", "-")
  if (NR == 1) {
    printf "Lomvera benchmark: median wall time of each command, warm page cache, less %.1f ms of measuring\n\n", harness / 1e6
    printf "%-12s %6s %4s %8s %8s %7s %6s %8s %9s %6s %9s %9s\n", "scan", "MP", "runs", "cp s", "tool s", "tool/cp",
      "ns/px", "RSS MiB", "limit MiB", "memory", "convert s", "tool/conv"
  }
  printf "%-12s %6.1f %4d %8.3f %8.3f %7.2f %6.2f %8.1f %9.1f %6s %s\n", $1 "x" $2, mp, $7, $4 / 1e9, $3 / 1e9, $3 / $4,
    $3 / (mp * 1e6), $6 / 1024, limit, $6 / 1024 <= limit ? "met" : "MISSED", conv
}' "$work/results"

printf '\nstage medians, ms (lomvera_timed)\n'
awk -v names="$stageNames" '
BEGIN { n = split(names, name, " "); printf "%-12s", "scan"; for (i = 1; i <= n; i++) printf " %12s", name[i]; printf "\n" }
{ printf "%-12s", $1 "x" $2; for (i = 3; i <= NF; i++) printf " %12.1f", $i; printf "\n" }' "$work/stages"

[ -e "$work/limited" ] || : >"$work/limited"
awk -v limitBytes="$memoryLimit" '
# How far a figure lies from its target (at most limit).
function against(value, limit) {
  return value <= limit ? sprintf("met, %.1f%% under", 100 * (1 - value / limit)) : sprintf("MISSED by %.1f%%", 100 * (value / limit - 1))
}
FILENAME ~ /results$/ {
  n++; w[n] = $1; h[n] = $2; tool[n] = $3; cp[n] = $4; convert[n] = $5; rss[n] = $6; isLarge[n] = $8
  name[n] = $1 "x" $2; row[name[n]] = n
  next
}
{ limited[++m] = $0 }
END {
  if (m > 0) {
    printf "\nthe tool inside a %d MiB memory cgroup (large scans, 1 run each)\n", limitBytes / 1048576
    printf "%-12s %-16s %8s %15s %8s %9s %8s\n", "scan", "outcome", "wall s", "cgroup peak MiB", "failcnt", "oom kills", "RSS MiB"
    for (j = 1; j <= m; j++) {
      split(limited[j], f, " ")
      scan = w[f[1] + 1] "x" h[f[1] + 1]
      killed[j] = f[2] == 137 || f[6] > 0
      outcome = f[2] == 0 && !killed[j] ? "completed" : (killed[j] ? "KILLED (OOM)" : "FAILED, status " f[2])
      limitedScan[j] = scan; limitedOk[j] = f[2] == 0 && !killed[j]
      printf "%-12s %-16s %8.3f %15.1f %8d %9d %8.1f\n", scan, outcome, f[3] / 1e9, f[4] / 1048576, f[5], f[6], f[7] / 1024
    }
  }
  printf "\ntargets\n"
  for (i = 1; i <= n; i++) {
    if (name[i] == "12000x7500" || name[i] == "7500x12000")
      printf "  %-12s tool/cp %6.2f  (at most 4)  %s\n", name[i], tool[i] / cp[i], against(tool[i] / cp[i], 4)
  }
  if ("12000x7500" in row && "7500x12000" in row) {
    i = row["12000x7500"]; j = row["7500x12000"]
    printf "  portrait/landscape   %6.2f  (at most 1.25)  %s\n", tool[j] / tool[i], against(tool[j] / tool[i], 1.25)
  }
  for (i = 1; i <= n; i++) {
    if (convert[i] > 0 && name[i] == "12000x7500")
      printf "  %-12s tool/convert %6.2f  (at most 0.4)  %s\n", name[i], tool[i] / convert[i], against(tool[i] / convert[i], 0.4)
  }
  for (i = 1; i <= n; i++) {
    if (isLarge[i]) printf "  %-12s tool/cp %6.2f  (at most 5)  %s\n", name[i], tool[i] / cp[i], against(tool[i] / cp[i], 5)
  }
  low = 0; high = 0; lowName = ""; highName = ""
  for (i = 1; i <= n; i++) {
    if (w[i] * h[i] < 1e7) continue
    perPixel = tool[i] / (w[i] * h[i])
    if (lowName == "" || perPixel < low) { low = perPixel; lowName = name[i] }
    if (highName == "" || perPixel > high) { high = perPixel; highName = name[i] }
  }
  spread = (high - low) / (high + low)
  printf "  ns/px over scans >= 10 MP: min %.2f (%s), max %.2f (%s), within +-%.1f%% of their middle  (at most +-25%%)  %s\n",
    low, lowName, high, highName, 100 * spread, against(spread, 0.25)
  worst = 0
  for (i = 1; i <= n; i++) {
    limit = 64 + 4 * w[i] * 4 / 1048576
    if (worst == 0 || rss[i] / 1024 / limit > rss[worst] / 1024 / (64 + 4 * w[worst] * 4 / 1048576)) worst = i
    if (rss[i] / 1024 > limit) missed++
  }
  limit = 64 + 4 * w[worst] * 4 / 1048576
  printf "  peak RSS <= 64 MiB + 4 rows x width x 4 B: %d of %d scans over; worst %s %.1f MiB against %.1f MiB  %s\n",
    missed, n, name[worst], rss[worst] / 1024, limit, against(rss[worst] / 1024, limit)
  for (j = 1; j <= m; j++)
    printf "  %-12s runs inside %d MiB: %s\n", limitedScan[j], limitBytes / 1048576, limitedOk[j] ? "met" : "MISSED"
}' "$work/results" "$work/limited"

[ ${#notes[@]} -eq 0 ] || printf '\nnotes\n'
[ ${#notes[@]} -eq 0 ] || printf '  %s\n' "${notes[@]}"
