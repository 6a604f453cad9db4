#!/usr/bin/env bash
# The benchmark: builds the benchmark programs, draws deterministic striped
# scans (1, 10 and 40 megapixels, 12000 x 7500 and its 7500 x 12000 portrait
# twin, and the large ones 32767 x 32767, 32767 x 12000 and 12000 x 32767),
# and runs on each, several times with a warm page cache:
#   /usr/bin/convert in.tga out.tga        an ImageMagick round trip, if
#                                          installed (not on the large scans)
#   cp in.tga out.tga                      the cost of copying the file
#   lomvera in.tga out.tga                 the tool on every CPU it may use
#   taskset -c 0 lomvera in.tga out.tga    the tool pinned to one CPU
#   BASELINE in.tga out.tga                with --baseline, another build of
#   taskset -c 0 BASELINE in.tga out.tga   the tool, both ways (not on the
#                                          large scans)
#   lomvera_timed in.tga out.tga           the tool with stage timing and the
#                                          threads its stages used
# one after the other within each round, the tool's runs every other round in
# the reverse order. Then, once each: lomvera_timed on the 12000 x 7500 scan
# pinned to one CPU and inside a cpu cgroup with a quota of one CPU, which
# must both use one thread, and the tool on each large scan inside a 256 MiB
# memory cgroup, whose output must be the same bytes as outside it.
# It prints one table of the fastest runs (noise only adds time; and the
# ratio of the medians of one CPU and all CPUs), peak memory, the baseline's
# fastest runs, the stage times and threads, the memory-limited runs and the
# targets, judged on the fastest runs.
#
#   bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N]
#                     [--baseline=PATH]
#
# runs: runs per command on the small scans after one warm-up (default 5; the
# 1 and 10 megapixel scans run 3 and 2 times as often). The large scans run
# one at a time, each with one warm-up and --large-runs runs (default 3);
# --large= picks some of them, --no-large leaves them all out. --baseline=
# names a build of the tool to compare with (one from before a change); its
# targets print "not measured" without it.
#
# Needs cmake, a C++ compiler, /usr/bin/time (Debian package "time"), taskset
# (util-linux) and disk space: about 2 GB for the small scans, and for the
# large ones one input and its outputs at a time, up to 10 GB (32767 x 32767
# is 3.2 GB a file). Runs in a cgroup need root and the cgroup v1 memory or
# cpu controller; without them those runs are left out with a note. Not part
# of the test command.
set -euo pipefail

usage="usage: bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N] [--baseline=PATH]"
runs=5
largeRuns=3
allLarge="32767x32767 32767x12000 12000x32767"
large=$allLarge
baseline=""
for arg in "$@"; do
  case $arg in
    --no-large) large="" ;;
    --large=*) large=${arg#--large=}; large=${large//,/ } ;;
    --large-runs=*) largeRuns=${arg#--large-runs=} ;;
    --baseline=*) baseline=${arg#--baseline=} ;;
    *[!0-9]* | "") echo "$usage"; exit 1 ;;
    *) runs=$arg ;;
  esac
done
for size in $large; do
  [[ " $allLarge " == *" $size "* ]] || { echo "bench: $size is not one of the large scans $allLarge"; exit 1; }
done
if [ -n "$baseline" ]; then
  if [ ! -f "$baseline" ] || [ ! -x "$baseline" ]; then echo "bench: the baseline $baseline is not an executable file"; exit 1; fi
  baseline=$(realpath -- "$baseline")  # before leaving the caller's folder
fi
cd "$(dirname "$0")/.."

build="build-bench"
convert=/usr/bin/convert  # the real ImageMagick, called by its full path
memoryLimit=$((256 * 1024 * 1024))
cpuPeriod=100000  # microseconds; the quota of one CPU is the same time

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLOMVERA_BUILD_BENCHMARKS=ON -DLOMVERA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool=$build/lomvera
timed=$build/bench/lomvera_timed
draw=$build/bench/make_bench_scan
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (Debian package time)"; exit 1; }
command -v taskset >/dev/null || { echo "bench: taskset is missing (Debian package util-linux)"; exit 1; }
[ -x "$convert" ] || convert=""

work=$(mktemp -d "$PWD/$build/scans.XXXXXX")
cgroup=""
cpuGroup=""
cleanUp() {
  rm -rf "$work"
  local group
  for group in "$cgroup" "$cpuGroup"; do
    if [ -n "$group" ]; then rmdir "$group" 2>/dev/null || echo "bench: cannot remove the cgroup $group"; fi
  done
}
trap cleanUp EXIT

# What is left out, printed now and again under the results.
notes=()
[ -n "$convert" ] || notes+=("ImageMagick (/usr/bin/convert) is not installed: no convert column")
[ -z "$convert" ] || [ -z "$large" ] || notes+=("ImageMagick is not run on the large scans (too slow, too much memory)")
[ -z "$baseline" ] || [ -z "$large" ] || notes+=("the baseline is not run on the large scans (no target compares them)")
for size in $allLarge; do
  [[ " $large " == *" $size "* ]] || notes+=("left out: the large scan $size")
done

# The folder of this script's own group in the cgroup v1 hierarchy that holds
# the controller $1: where /proc/self/mountinfo says that hierarchy is
# mounted, else the first of the folders $2... that exists. Prints nothing
# when the script is in no such hierarchy.
v1GroupFolder() {
  local controller=$1 group root="" mount=""
  shift
  group=$(awk -F: -v c="$controller" '
    { n = split($2, list, ","); for (i = 1; i <= n; i++) if (list[i] == c) { sub(/^[^:]*:[^:]*:/, ""); print; exit } }' \
    /proc/self/cgroup 2>/dev/null || true)
  [ -n "$group" ] || return 0
  # mountinfo: ID parent major:minor root mount-point options ... - type source super-options
  read -r root mount < <(awk -v c="$controller" '
    {
      for (d = 7; d < NF && $d != "-"; d++) {}
      n = split($(d + 3), option, ",")
      for (i = 1; i <= n; i++) if ($(d + 1) == "cgroup" && option[i] == c) { print $4, $5; exit }
    }' /proc/self/mountinfo 2>/dev/null) || true
  if [ -z "$mount" ]; then
    root=/
    for mount in "$@" ""; do [ -d "$mount" ] && break; done
    [ -n "$mount" ] || return 0
  fi
  # Inside a container the mount may show a group below the hierarchy's top.
  [ "$root" = / ] || [[ $group != "$root"* ]] || group=${group#"$root"}
  echo "$mount${group%/}"
}

# Makes a group below the folder $1 (this script's own group, so that what the
# group uses still counts there too) and writes "file value" pairs into it.
# Prints the new group's folder, or nothing when it cannot be made or a file
# is missing or refuses its value.
makeGroup() {
  local parent=$1 group
  shift
  [ -n "$parent" ] && [ -w "$parent" ] || return 0
  group=$parent/lomvera-bench-$$
  mkdir "$group" 2>/dev/null || return 0
  while [ $# -ge 2 ]; do
    if [ ! -e "$group/$1" ] || ! echo "$2" 2>/dev/null >"$group/$1"; then rmdir "$group"; return 0; fi
    shift 2
  done
  echo "$group"
}

# A shell that joins the cgroup $1 and becomes the command after it, so that
# only that command is in the group; exit status 125 if it cannot join.
# shellcheck disable=SC2016  # expanded by that shell
joinThenRun='echo $$ >"$1/cgroup.procs" || exit 125; shift; exec "$@"'

# The memory cgroup for the limited runs. Swap is limited as well where the
# kernel accounts for it.
if [ -n "$large" ]; then
  cgroup=$(makeGroup "$(v1GroupFolder memory /sys/fs/cgroup/memory)" memory.limit_in_bytes "$memoryLimit")
  if [ -n "$cgroup" ] && [ -e "$cgroup/memory.memsw.limit_in_bytes" ] &&
    ! echo "$memoryLimit" 2>/dev/null >"$cgroup/memory.memsw.limit_in_bytes"; then
    rmdir "$cgroup"
    cgroup=""
  fi
  [ -n "$cgroup" ] || notes+=("no writable cgroup v1 memory controller (root needed): the 256 MiB runs are left out")
fi
# The cpu cgroup with a quota of one CPU: one period's time in each period.
cpuGroup=$(makeGroup "$(v1GroupFolder cpu /sys/fs/cgroup/cpu,cpuacct /sys/fs/cgroup/cpu)" \
  cpu.cfs_period_us "$cpuPeriod" cpu.cfs_quota_us "$cpuPeriod")
[ -n "$cpuGroup" ] || notes+=("no cgroup v1 cpu group with a quota of one CPU can be made (root and the cpu controller needed): left out")
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
fastest() { printf '%s\n' "$@" | sort -g | head -1; }

# The threads lomvera_timed reports in the stage times lines of the file $1,
# one a line.
threadsReported() { awk '/^stage times ms:/ {for (i = 4; i < NF; i++) if ($i == "threads") print $(i + 1)}' "$1"; }

# width, height, and how many times the runs of the others the scan gets: the
# small ones are quick and noisier. The large scans follow the small ones.
scans=("1224 816 3" "3872 2592 2" "7744 5184 1" "12000 7500 1" "7500 12000 1")
firstLarge=${#scans[@]}
for size in $large; do scans+=("${size%x*} ${size#*x} 1"); done

# The tool's ways of running: on every CPU it may use, pinned to one CPU, and
# the baseline both ways. A way's times go to $work/<way>-<scan>.
toolRun() {  # $1: a way of running; sets the array run to its command
  case $1 in
    tool) run=("$tool") ;;
    pinned) run=(taskset -c 0 "$tool") ;;
    baseline) run=("$baseline") ;;
    baselinePinned) run=(taskset -c 0 "$baseline") ;;
  esac
}

# Compares the outputs written so far with the tool's on all CPUs, once that
# is there, and removes them: the baseline's may differ (it is noted), no
# other may. So on a large scan no more than two outputs take disk space at a
# time.
checkOutputs() {  # $1: the scan number
  local way
  [ -e "$work/out-tool.tga" ] || return 0
  for way in pinned timed baseline baselinePinned; do
    [ -e "$work/out-$way.tga" ] || continue
    if ! cmp -s "$work/out-tool.tga" "$work/out-$way.tga"; then
      [[ $way == baseline* ]] || { echo "bench: the $way run wrote other bytes"; exit 1; }
      echo "${scans[$1]% *}" >>"$work/baselineDiffers"
    fi
    rm -f "$work/out-$way.tga"
  done
}

# One run of every command on scan number $1 in round $2; the times go to
# files $work/<command>-<scan>, one a line. The output of the tool on all CPUs
# stays until the next scan's runs, for the run in the memory cgroup.
measureScan() {
  local scan=$1 round=$2 input=$work/in-$1.tga ns rss way ways=(tool pinned) reversed=() run=()
  rm -f "$work"/out*.tga
  # ImageMagick runs first, so that the tool's runs happen under the same
  # conditions, one right after the other.
  if [ -n "$convert" ] && [ "$scan" -lt "$firstLarge" ]; then
    read -r ns rss < <(measure "$convert" "$input" "$work/out-convert.tga")
    echo "$ns" >>"$work/convert-$scan"
  fi
  read -r ns rss < <(measure cp "$input" "$work/out-cp.tga")
  echo "$ns" >>"$work/cp-$scan"
  rm -f "$work"/out-c*.tga
  [ -z "$baseline" ] || [ "$scan" -ge "$firstLarge" ] || ways+=(baseline baselinePinned)
  # Every other round in the reverse order, so that no way always runs first.
  if [ $((round % 2)) -eq 1 ]; then
    for way in "${ways[@]}"; do reversed=("$way" "${reversed[@]}"); done
    ways=("${reversed[@]}")
  fi
  for way in "${ways[@]}"; do
    toolRun "$way"
    read -r ns rss < <(measure "${run[@]}" "$input" "$work/out-$way.tga")
    echo "$ns" >>"$work/$way-$scan"
    [ "$way" != tool ] || echo "$rss" >>"$work/rss-$scan"
    checkOutputs "$scan"
  done
  read -r ns rss < <(measure "$timed" "$input" "$work/out-timed.tga")
  grep '^stage times ms:' "$work/stderr.txt" >>"$work/stages-$scan"
  checkOutputs "$scan"
}

forgetRuns() {  # $1: a scan number, or * for all
  local scan=$1 name
  for name in convert cp tool pinned baseline baselinePinned rss stages; do
    # shellcheck disable=SC2086
    rm -f "$work/$name-"$scan
  done
}

# One run of the tool on scan number $1 inside the memory cgroup, only the
# tool limited. The peak use counts the tool's memory and the page cache of
# the output it writes (reclaimable, but charged); the tool's own peak
# resident set comes from /usr/bin/time. The output is compared with the one
# of the tool's last run outside. Appends "scan status ns cgroup-peak-bytes
# failcnt oom-kills peak-RSS-KiB same-bytes" to $work/limited.
measureLimited() {
  local scan=$1 start end status killsBefore killsAfter same=0
  rm -f "$work/out-limited.tga"
  sync
  echo 0 >"$cgroup/memory.max_usage_in_bytes"
  echo 0 >"$cgroup/memory.failcnt"
  killsBefore=$(awk '$1 == "oom_kill" {print $2}' "$cgroup/memory.oom_control")
  start=$(date +%s%N)
  status=0
  /usr/bin/time -v -o "$work/time.txt" sh -c "$joinThenRun" sh \
    "$cgroup" "$tool" "$work/in-$scan.tga" "$work/out-limited.tga" </dev/null >/dev/null 2>"$work/stderr.txt" || status=$?
  end=$(date +%s%N)
  [ "$status" -ne 125 ] || { echo "bench: cannot join the cgroup $cgroup"; exit 1; }
  killsAfter=$(awk '$1 == "oom_kill" {print $2}' "$cgroup/memory.oom_control")
  [ "$status" -ne 0 ] || ! cmp -s "$work/out-tool.tga" "$work/out-limited.tga" || same=1
  echo "$scan $status $((end - start)) $(cat "$cgroup/memory.max_usage_in_bytes") $(cat "$cgroup/memory.failcnt")" \
    "$((${killsAfter:-0} - ${killsBefore:-0})) $(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt") $same" >>"$work/limited"
  rm -f "$work"/out*.tga
}

# The threads lomvera_timed uses on scan number $1 when started by the
# command after it (taskset, or the shell that joins a cgroup): the number,
# or "failed".
threadsWhenRunBy() {
  local scan=$1 threads=""
  shift
  if "$@" "$timed" "$work/in-$scan.tga" "$work/out-threads.tga" </dev/null >/dev/null 2>"$work/stderr.txt"; then
    threads=$(threadsReported "$work/stderr.txt")
  fi
  rm -f "$work/out-threads.tga"
  echo "${threads:-failed}"
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
    for ((again = 0; again < repeat; again++)); do measureScan "$i" "$round"; done
  done
  [ "$round" -ne 0 ] || forgetRuns "*"
done

# The threads on the 12000 x 7500 scan (scans[3]) pinned to one CPU and
# within a quota of one CPU.
threadsScan=3
threadsPinned=$(threadsWhenRunBy "$threadsScan" taskset -c 0)
threadsQuota=""
[ -z "$cpuGroup" ] || threadsQuota=$(threadsWhenRunBy "$threadsScan" sh -c "$joinThenRun" sh "$cpuGroup")
rm -f "$work"/in-*.tga "$work"/out*.tga

# The large scans one at a time, so that only one of them and its outputs
# take disk space: a warm-up that is not counted, the runs, then the run in
# the memory cgroup.
for ((i = firstLarge; i < ${#scans[@]}; i++)); do
  read -r width height repeat <<<"${scans[$i]}"
  echo "bench: ${width}x$height: 1 warm-up, $largeRuns counted runs${cgroup:+, 1 run within 256 MiB}"
  "$draw" "$width" "$height" "$work/in-$i.tga" >/dev/null
  cat "$work/in-$i.tga" >/dev/null
  for ((round = 0; round <= largeRuns; round++)); do
    measureScan "$i" "$round"
    [ "$round" -ne 0 ] || forgetRuns "$i"
  done
  [ -z "$cgroup" ] || measureLimited "$i"
  rm -f "$work/in-$i.tga" "$work"/out*.tga
done

if [ -e "$work/baselineDiffers" ]; then
  notes+=("the baseline wrote other bytes than the tool on $(sort -u "$work/baselineDiffers" | tr ' ' x | paste -sd, -)")
fi

# What the measuring itself costs (starting /usr/bin/time and the command, the
# clock readings, and for the pinned runs taskset): a command that does
# nothing, its median taken from every median below and its fastest run from
# every fastest run, so that small scans are not judged by it.
for ((n = 0; n < 15; n++)); do
  measure true | awk '{print $1}' >>"$work/harness"
  measure taskset -c 0 true | awk '{print $1}' >>"$work/harnessPinned"
done
# shellcheck disable=SC2046
harness=$(median $(cat "$work/harness"))
# shellcheck disable=SC2046
harnessPinned=$(median $(cat "$work/harnessPinned"))
withoutHarness() { awk -v t="$1" -v h="$2" 'BEGIN { v = t - h; print (t > 0 && v > 0) ? v : t }'; }
# $1: a way of running (toolRun), $2: median or fastest, $3: a scan number.
# Prints 0 when that way did not run on that scan.
timeOf() {
  local harnessRuns=$work/harness
  [ -s "$work/$1-$3" ] || { echo 0; return; }
  [[ $1 != *[pP]inned ]] || harnessRuns=$work/harnessPinned
  # shellcheck disable=SC2046
  withoutHarness "$("$2" $(cat "$work/$1-$3"))" "$("$2" $(cat "$harnessRuns"))"
}

# One line a scan: width height all-CPUs cp convert peak-RSS-KiB runs large
# pinned median-all median-pinned baseline baseline-pinned (nanoseconds; the
# fastest run unless named median, since noise on a shared machine only adds
# time; 0 for what did not run).
: >"$work/results"
stageNames=""
threadsUnpinned=""
for i in "${!scans[@]}"; do
  read -r width height repeat <<<"${scans[$i]}"
  count=$((i < firstLarge ? runs * repeat : largeRuns))
  echo "$width $height $(timeOf tool fastest "$i") $(timeOf cp fastest "$i") $(timeOf convert fastest "$i")" \
    "$(sort -n "$work/rss-$i" | tail -1) $count $((i >= firstLarge)) $(timeOf pinned fastest "$i")" \
    "$(timeOf tool median "$i") $(timeOf pinned median "$i")" \
    "$(timeOf baseline fastest "$i") $(timeOf baselinePinned fastest "$i")" >>"$work/results"
  # The stage names come from lomvera_timed itself, in its order; the threads
  # it used end its line and are no stage.
  [ -n "$stageNames" ] || stageNames=$(head -1 "$work/stages-$i" | awk '{for (i = 4; i < NF; i += 2) if ($i != "threads") printf "%s ", $i}')
  stageMedians=""
  for stage in $stageNames; do
    values=$(awk -v s="$stage" '{for (i = 4; i < NF; i++) if ($i == s) print $(i + 1)}' "$work/stages-$i")
    # shellcheck disable=SC2086
    stageMedians+=" $([ -n "$values" ] && median $values || echo nan)"
  done
  # The threads of every run: one number when they agree, else the fewest to the most.
  threads=$(threadsReported "$work/stages-$i" | sort -n | awk 'NR == 1 {low = $1} {high = $1} END {print NR == 0 ? "-" : (low == high ? low : low "-" high)}')
  echo "$width $height $threads$stageMedians" >>"$work/stages"
  [ "$i" -ne "$threadsScan" ] || threadsUnpinned=$threads
done

awk -v haveConvert="${convert:+1}" -v harness="$harness" -v harnessPinned="$harnessPinned" '
{
  mp = $1 * $2 / 1e6
  conv = $5 > 0 ? sprintf("%9.3f %9.2f", $5 / 1e9, $3 / $5) : sprintf("%9s %9s", "-", "-")
  if (NR == 1) {
    printf "Lomvera benchmark: the fastest wall time of each command over its runs (noise only adds time), warm page\n"
    printf "cache, less what measuring costs (median %.1f ms, %.1f ms pinned);\n", harness / 1e6, harnessPinned / 1e6
    printf "all = every CPU the tool may use, 1 CPU = pinned with taskset -c 0; ratios of the fastest runs, \"medians\"\n"
    printf "the ratio 1 CPU/all of the medians\n\n"
    printf "%-12s %6s %4s %8s %8s %8s %9s %8s %7s %8s %6s %9s %9s\n", "scan", "MP", "runs", "cp s", "all s", "1 CPU s",
      "1 CPU/all", "medians", "all/cp", "1 CPU/cp", "ns/px", "convert s", "all/conv"
  }
  printf "%-12s %6.1f %4d %8.3f %8.3f %8.3f %9.2f %8.2f %7.2f %8.2f %6.2f %s\n", $1 "x" $2, mp, $7, $4 / 1e9, $3 / 1e9,
    $9 / 1e9, $9 / $3, $11 / $10, $3 / $4, $9 / $4, $3 / (mp * 1e6), conv
}' "$work/results"

printf '\npeak resident memory of the tool on all CPUs\n'
awk '
BEGIN { printf "%-12s %8s %16s %6s %10s\n", "scan", "RSS MiB", "64 MiB + 4 rows", "memory", "<= 16 MiB" }
{
  limit = 64 + 4 * $1 * 4 / 1048576
  printf "%-12s %8.1f %16.1f %6s %10s\n", $1 "x" $2, $6 / 1024, limit, $6 / 1024 <= limit ? "met" : "MISSED", $6 / 1024 <= 16 ? "met" : "MISSED"
}' "$work/results"

if [ -n "$baseline" ]; then
  printf '\nthe baseline %s, fastest runs in the same rounds\n' "$baseline"
  awk '
  BEGIN { printf "%-12s %10s %8s %10s %13s\n", "scan", "base all s", "all/base", "base 1 CPU s", "1 CPU/base 1" }
  $12 > 0 { printf "%-12s %10.3f %8.3f %12.3f %13.3f\n", $1 "x" $2, $12 / 1e9, $3 / $12, $13 / 1e9, $9 / $13 }' "$work/results"
fi

printf '\nstage medians, ms (lomvera_timed), and the threads the stages used\n'
awk -v names="$stageNames" '
BEGIN { n = split(names, name, " "); printf "%-12s %7s", "scan", "threads"; for (i = 1; i <= n; i++) printf " %12s", name[i]; printf "\n" }
{ printf "%-12s %7s", $1 "x" $2, $3; for (i = 4; i <= NF; i++) printf " %12.1f", $i; printf "\n" }' "$work/stages"

[ -e "$work/limited" ] || : >"$work/limited"
awk -v limitBytes="$memoryLimit" -v threadsPinned="$threadsPinned" -v threadsQuota="$threadsQuota" \
  -v threadsUnpinned="$threadsUnpinned" -v threadsScan="$(tr ' ' x <<<"${scans[$threadsScan]% *}")" -v processors="$(nproc)" \
  -v haveBaseline="${baseline:+1}" -v firstLarge="$firstLarge" '
# How far a figure lies from its target (at most limit, or at least limit).
function against(value, limit) {
  return value <= limit ? sprintf("met, %.1f%% under", 100 * (1 - value / limit)) : sprintf("MISSED by %.1f%%", 100 * (value / limit - 1))
}
function atLeast(value, limit) {
  return value >= limit ? sprintf("met, %.1f%% over", 100 * (value / limit - 1)) : sprintf("MISSED by %.1f%%", 100 * (1 - value / limit))
}
function oneThread(threads) { return threads == 1 ? "met" : "MISSED" }
FILENAME ~ /results$/ {
  n++; w[n] = $1; h[n] = $2; tool[n] = $3; cp[n] = $4; convert[n] = $5; rss[n] = $6; isLarge[n] = $8; pinned[n] = $9
  base[n] = $12; basePinned[n] = $13
  name[n] = $1 "x" $2; row[name[n]] = n
  next
}
{ limited[++m] = $0 }
END {
  if (m > 0) {
    printf "\nthe tool inside a %d MiB memory cgroup (large scans, 1 run each)\n", limitBytes / 1048576
    printf "%-12s %-16s %8s %15s %8s %9s %8s %10s\n", "scan", "outcome", "wall s", "cgroup peak MiB", "failcnt", "oom kills", "RSS MiB",
      "same bytes"
    for (j = 1; j <= m; j++) {
      split(limited[j], f, " ")
      scan = w[f[1] + 1] "x" h[f[1] + 1]
      killed[j] = f[2] == 137 || f[6] > 0
      outcome = f[2] == 0 && !killed[j] ? "completed" : (killed[j] ? "KILLED (OOM)" : "FAILED, status " f[2])
      limitedScan[j] = scan; limitedOk[j] = f[2] == 0 && !killed[j] && f[8] == 1
      printf "%-12s %-16s %8.3f %15.1f %8d %9d %8.1f %10s\n", scan, outcome, f[3] / 1e9, f[4] / 1048576, f[5], f[6], f[7] / 1024,
        f[2] == 0 ? (f[8] == 1 ? "yes" : "NO") : "-"
    }
  }
  printf "\ntargets (fastest runs)\n"
  for (i = 1; i <= n; i++) {
    if (name[i] == "12000x7500" || name[i] == "7500x12000")
      printf "  %-12s all/cp %6.2f  (at most 3)  %s\n", name[i], tool[i] / cp[i], against(tool[i] / cp[i], 3)
  }
  for (i = 1; i <= n; i++) {
    if (isLarge[i]) printf "  %-12s all/cp %6.2f  (at most 3)  %s\n", name[i], tool[i] / cp[i], against(tool[i] / cp[i], 3)
  }
  for (i = 1; i <= n; i++) {
    if (name[i] == "12000x7500" || name[i] == "7500x12000")
      printf "  %-12s all CPUs %.2f x faster than 1 CPU  (at least 1.6)  %s\n", name[i], pinned[i] / tool[i], atLeast(pinned[i] / tool[i], 1.6)
  }
  printf "  %-12s threads pinned to 1 CPU: %s  (1)  %s\n", threadsScan, threadsPinned, oneThread(threadsPinned)
  if (threadsQuota == "")
    printf "  %-12s threads within a 1-CPU quota: not measured (no cpu cgroup, see the notes)\n", threadsScan
  else
    printf "  %-12s threads within a 1-CPU quota: %s  (1)  %s\n", threadsScan, threadsQuota, oneThread(threadsQuota)
  printf "  %-12s threads unpinned: %s  (nproc says %d CPUs)\n", threadsScan, threadsUnpinned, processors
  if ("12000x7500" in row && "7500x12000" in row) {
    i = row["12000x7500"]; j = row["7500x12000"]
    printf "  portrait/landscape   %6.2f  (at most 1.25)  %s\n", tool[j] / tool[i], against(tool[j] / tool[i], 1.25)
  }
  for (i = 1; i <= n; i++) {
    if (convert[i] > 0 && name[i] == "12000x7500")
      printf "  %-12s all/convert %6.2f  (at most 0.4)  %s\n", name[i], tool[i] / convert[i], against(tool[i] / convert[i], 0.4)
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
  worst = 0; over = 0
  for (i = 1; i <= n; i++) {
    if (worst == 0 || rss[i] > rss[worst]) worst = i
    if (rss[i] / 1024 > 16) over++
  }
  printf "  peak RSS on all CPUs <= 16 MiB: %d of %d scans over; most %s %.1f MiB  %s\n",
    over, n, name[worst], rss[worst] / 1024, against(rss[worst] / 1024, 16)
  worst = 0
  for (i = 1; i <= n; i++) {
    limit = 64 + 4 * w[i] * 4 / 1048576
    if (worst == 0 || rss[i] / 1024 / limit > rss[worst] / 1024 / (64 + 4 * w[worst] * 4 / 1048576)) worst = i
    if (rss[i] / 1024 > limit) missed++
  }
  limit = 64 + 4 * w[worst] * 4 / 1048576
  printf "  peak RSS <= 64 MiB + 4 rows x width x 4 B: %d of %d scans over; worst %s %.1f MiB against %.1f MiB  %s\n",
    missed, n, name[worst], rss[worst] / 1024, limit, against(rss[worst] / 1024, limit)
  for (i = 1; i <= n && i <= firstLarge; i++) {
    if (w[i] * h[i] > 1.1e7) continue
    if (haveBaseline && base[i] > 0)
      printf "  %-12s all CPUs against the baseline %6.3f  (at most 1.05)  %s\n", name[i], tool[i] / base[i], against(tool[i] / base[i], 1.05)
    else
      printf "  %-12s all CPUs against the baseline: not measured (give --baseline=...)\n", name[i]
  }
  for (i = 1; i <= n && i <= firstLarge; i++) {
    if (haveBaseline && basePinned[i] > 0)
      printf "  %-12s 1 CPU against the baseline on 1 CPU %6.3f  (at most 1.05)  %s\n", name[i], pinned[i] / basePinned[i],
        against(pinned[i] / basePinned[i], 1.05)
    else if (i == 1)
      printf "  small scans  1 CPU against the baseline on 1 CPU: not measured (give --baseline=...)\n"
  }
  for (j = 1; j <= m; j++)
    printf "  %-12s runs inside %d MiB with the same bytes as outside: %s\n", limitedScan[j], limitBytes / 1048576,
      limitedOk[j] ? "met" : "MISSED"
}' "$work/results" "$work/limited"

[ ${#notes[@]} -eq 0 ] || printf '\nnotes\n'
[ ${#notes[@]} -eq 0 ] || printf '  %s\n' "${notes[@]}"
