#!/usr/bin/env bash
# The benchmark. Draws deterministic striped scans one at a time (1, 10 and 40
# megapixels, 12000 x 7500, 7500 x 12000, and the large 32767 x 32767,
# 32767 x 12000 and 12000 x 32767) and has hyperfine time on each, warm page
# cache, one warm-up and then rounds of one run each of: /usr/bin/convert
# (ImageMagick, if installed), cp, the tool on every CPU ("all"), the tool pinned with
# taskset -c 0 ("1cpu"), with --baseline another build both ways (neither on
# the large scans), and lomvera_timed, which reports its stage times and
# threads. Then it measures the peak memory on 2 threads, compares the outputs
# byte for byte, counts lomvera_timed's threads on 12000 x 7500 pinned and in a
# cgroup with a quota of one CPU, runs the tool on each large scan in a 256 MiB
# memory cgroup, and prints the fastest runs, the stage medians and the
# targets. hyperfine's JSON and summaries and the report stay in a results
# folder named at the end. Exits with 1 when outputs of the tool differ.
#
#   bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N]
#                     [--baseline=PATH]
#
# runs: counted runs per command on the small scans (default 5; 3 and 2 times
# as many on the 1 and 10 megapixel scans), --large-runs on the large (3).
# Needs hyperfine, jq, /usr/bin/time and taskset (installed when missing, as
# root on Debian), disk for a scan and its outputs (up to 2 GB, 13 GB on
# 32767 x 32767), and for the cgroup runs root and cgroup v1 (else left out
# with a note).
set -euo pipefail

usage="usage: bash bench/run.sh [runs] [--no-large | --large=WxH,...] [--large-runs=N] [--baseline=PATH]"
runs=5 largeRuns=3 baseline=""
allLarge="32767x32767 32767x12000 12000x32767"
large=$allLarge
for arg in "$@"; do
  case $arg in
    --no-large) large="" ;;
    --large=*) large=${arg#*=}; large=${large//,/ } ;;
    --large-runs=*) largeRuns=${arg#*=} ;;
    --baseline=*) baseline=${arg#*=} ;;
    *) runs=$arg ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ && $largeRuns =~ ^[1-9][0-9]*$ ]] || { echo "$usage"; exit 1; }
for size in $large; do
  [[ " $allLarge " == *" $size "* ]] || { echo "bench: $size is not one of the large scans $allLarge"; exit 1; }
done
if [ -n "$baseline" ]; then
  [[ -f $baseline && -x $baseline ]] || { echo "bench: the baseline $baseline is not an executable file"; exit 1; }
  baseline=$(realpath -- "$baseline")  # before leaving the caller's folder
fi
cd "$(dirname "$0")/.."

# hyperfine times, jq reads its JSON, /usr/bin/time measures peak memory.
missing=()
for need in hyperfine:hyperfine jq:jq /usr/bin/time:time taskset:util-linux; do
  command -v "${need%%:*}" >/dev/null || missing+=("${need#*:}")  # command:Debian package
done
if [ ${#missing[@]} -gt 0 ] && { [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; }; then
  echo "bench: missing packages: ${missing[*]} (as root: apt-get install ${missing[*]})"
  exit 1
elif [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=$PWD/build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLOMVERA_BUILD_BENCHMARKS=ON -DLOMVERA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool=$build/lomvera
timed=$build/bench/lomvera_timed
convert=/usr/bin/convert  # the real ImageMagick, by its full path
[ -x "$convert" ] || convert=""
memoryLimit=$((256 * 1024 * 1024))
memoryGroup="" cpuGroup=""
work=$(mktemp -d "$build/scans.XXXXXX")
# shellcheck disable=SC2154  # g is the loop's
trap 'rm -rf "$work"; for g in "$memoryGroup" "$cpuGroup"; do [ -z "$g" ] || rmdir "$g" || true; done' EXIT
results=$(mktemp -d "$build/results-$(date +%Y%m%d-%H%M%S)-XXXX")

# Makes a group below this script's own group of the cgroup v1 controller $1,
# so that what it uses still counts there (in a container, where the own group
# is not visible, below the top of the controller's mount), and writes the
# "file value" pairs after $1 into it. Prints its folder, or nothing where it
# cannot be made: no root, no such controller, a value refused.
makeGroup() {
  local group=/sys/fs/cgroup/$1 own
  own=$(awk -F: -v c="$1" '{ n = split($2, list, ","); for (i = 1; i <= n; i++) if (list[i] == c) print $3 }' /proc/self/cgroup)
  [ -n "$own" ] && [ -d "$group" ] || return 0
  [ ! -d "$group$own" ] || group=$group${own%/}
  group=$group/lomvera-bench-$$
  mkdir "$group" 2>/dev/null || return 0
  shift
  while [ $# -ge 2 ]; do echo "$2" 2>/dev/null >"$group/$1" || { rmdir "$group"; return 0; }; shift 2; done
  echo "$group"
}
# A shell that joins the cgroup $1 and becomes the command after it, so that
# only that command is in the group; exit status 125 if it cannot join.
# shellcheck disable=SC2016  # expanded by that shell
joinThenRun='echo $$ >"$1/cgroup.procs" || exit 125; shift; exec "$@"'

notes=()
if [ -n "$large" ]; then
  memoryGroup=$(makeGroup memory memory.limit_in_bytes "$memoryLimit")
  [ -n "$memoryGroup" ] || notes+=("no writable cgroup v1 memory controller (root needed): the 256 MiB runs are left out")
  [ ! -e "$memoryGroup/memory.memsw.limit_in_bytes" ] || echo "$memoryLimit" 2>/dev/null >"$memoryGroup/memory.memsw.limit_in_bytes" ||
    notes+=("swap is not limited in the 256 MiB cgroup")
fi
cpuGroup=$(makeGroup cpu cpu.cfs_period_us 100000 cpu.cfs_quota_us 100000)
[ -n "$cpuGroup" ] || notes+=("no cgroup v1 cpu group with a quota of one CPU (root and the cpu controller needed): left out")
[ -n "$convert" ] || notes+=("ImageMagick (/usr/bin/convert) is not installed: no convert column")
for size in $allLarge; do [[ " $large " == *" $size "* ]] || notes+=("left out: the large scan $size"); done
[ ${#notes[@]} -eq 0 ] || printf 'bench: %s\n' "${notes[@]}"

# The one reading of lomvera_timed's report: each "stage times ms:" line on
# standard input becomes "threads N stage ms stage ms ...", where N is what
# follows the word threads and a stage any other word with a number after it.
stagesOf() {
  awk '/^stage times ms:/ {
    t = "?"; s = ""
    for (i = 4; i < NF; i++) if ($i == "threads") t = $(++i); else if ($(i + 1) ~ /^[0-9.]+$/) s = s " " $i " " $(++i)
    print "threads " t s
  }'
}
# The threads of lomvera_timed on the scan when started by the command given
# (taskset, or the shell that joins a cgroup), or "failed".
threadsWhenRunBy() {
  local threads=""
  ! "$@" "$timed" "$work/in.tga" "$work/out-threads.tga" </dev/null >/dev/null 2>"$work/stderr" ||
    threads=$(stagesOf <"$work/stderr" | awk '{ print $2; exit }')
  echo "${threads:-failed}"
}
# The tool once on the scan $1 inside the memory cgroup, whose peak counts the
# output's page cache too. Appends "scan status cgroup-peak-bytes
# tool-peak-RSS-KiB same-bytes" to $work/limited.
limitedRun() {
  local status=0 same=0
  sync
  echo 0 >"$memoryGroup/memory.max_usage_in_bytes"
  /usr/bin/time -f %M -o "$work/rss" sh -c "$joinThenRun" sh "$memoryGroup" "$tool" "$work/in.tga" "$work/out-limited.tga" \
    </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" -ne 125 ] || { echo "bench: cannot join the cgroup $memoryGroup"; exit 1; }
  [ "$status" -ne 0 ] || ! cmp -s "$work/out-all.tga" "$work/out-limited.tga" || same=1
  echo "$1 $status $(cat "$memoryGroup/memory.max_usage_in_bytes") $(tail -1 "$work/rss") $same" >>"$work/limited"
}

q() { printf '%q ' "$@"; }  # one command line, which hyperfine splits as a shell would
# Adds to hyperfine's arguments the command named $1: the words after it, the
# input and out-$1.tga, which is removed before each run.
add() {
  # shellcheck disable=SC2016  # expanded by that shell
  hf+=(-n "$1" --prepare "$(q sh -c 'rm -f -- "$0" && sync' "$work/out-$1.tga")" "$(q "${@:2}" "$work/in.tga" "$work/out-$1.tga")")
}

# Draws the scan $1 x $2, has hyperfine run every command on it $3 times,
# then measures and checks what hyperfine does not.
benchScan() {
  local name=$1x$2 small=1 same=1 baseSame=- way hf=()
  [[ " $allLarge " != *" $name "* ]] || small=0
  "$build/bench/make_bench_scan" "$1" "$2" "$work/in.tga" >/dev/null
  cat "$work/in.tga" >/dev/null  # into the page cache
  [ -z "$convert" ] || [ $small -eq 0 ] || add convert "$convert"
  add cp cp
  add all "$tool"
  add 1cpu taskset -c 0 "$tool"
  [ -z "$baseline" ] || [ $small -eq 0 ] || { add base "$baseline"; add base1cpu taskset -c 0 "$baseline"; }
  # shellcheck disable=SC2016  # expanded by that shell
  add timed sh -c 'exec "$1" "$2" "$3" 2>>"$0"' "$work/stages.txt" "$timed"
  : >"$work/stages.txt"
  echo "bench: $name: runs of each command: 1 warm-up, $3 counted, in $3 rounds of one run of every command"
  # Round by round, so that a change in the machine's load falls on every
  # command alike; the rounds' runs are then taken together.
  local round
  for round in $(seq "$3"); do
    hyperfine -N --style basic --warmup "$((round == 1))" --runs 1 "${hf[@]}" \
      --cleanup "$(q rm -f "$work/out-cp.tga" "$work/out-convert.tga")" --export-json "$results/$name-$round.json" \
      >>"$results/$name.txt" 2>&1 || { cat "$results/$name.txt"; exit 1; }
  done
  jq -rs --arg s "$name" '[.[].results[]] | group_by(.command)[] | ([.[].times[]] | sort) as $t | ($t | length) as $n
    | "\($s) \(.[0].command) \($t[0]) \(($t[($n - 1) / 2 | floor] + $t[$n / 2 | floor]) / 2) \($n)"' \
    "$results/$name"-*.json >>"$work/times"
  tail -n +2 "$work/stages.txt" | stagesOf | sed "s/^/$name /" >>"$work/stages"  # less the warm-up's line
  for way in 1cpu timed; do cmp -s "$work/out-all.tga" "$work/out-$way.tga" || same=0; done
  [ ! -e "$work/out-base.tga" ] || baseSame=1
  for way in base base1cpu; do [ ! -e "$work/out-$way.tga" ] || cmp -s "$work/out-all.tga" "$work/out-$way.tga" || baseSame=0; done
  rm -f "$work"/out-{1cpu,timed,base,base1cpu}.tga
  /usr/bin/time -f %M -o "$work/rss" "$build/bench/lomvera_forced_threads" 2 "$work/in.tga" "$work/out-2threads.tga" >/dev/null
  cmp -s "$work/out-all.tga" "$work/out-2threads.tga" || same=0
  echo "$name $(tail -1 "$work/rss") $same $baseSame" >>"$work/checks"
  rm -f "$work/out-2threads.tga"
  if [ "$name" = 12000x7500 ]; then
    threadsPinned=$(threadsWhenRunBy taskset -c 0)
    [ -z "$cpuGroup" ] || threadsQuota=$(threadsWhenRunBy sh -c "$joinThenRun" sh "$cpuGroup")
  fi
  [ $small -eq 1 ] || [ -z "$memoryGroup" ] || limitedRun "$name"
  rm -f "$work"/*.tga
}

threadsPinned="not measured" threadsQuota="not measured"
scans="1224x816:$((3 * runs)) 3872x2592:$((2 * runs)) 7744x5184:$runs 12000x7500:$runs 7500x12000:$runs"
for size in $large; do scans+=" $size:$largeRuns"; done
for scan in $scans; do size=${scan%:*}; benchScan "${size%x*}" "${size#*x}" "${scan#*:}"; done
touch "$work/limited"

# The report, from hyperfine's fastest and median runs ($work/times), the
# checks, the stage lines and the memory-limited runs.
awk -v baseline="$baseline" -v large=" $allLarge " -v limit=$((memoryLimit >> 20)) -v threadsPinned="$threadsPinned" \
  -v threadsQuota="$threadsQuota" -v notes="$([ ${#notes[@]} -eq 0 ] || printf '\n  %s' "${notes[@]}")" '
function t(s, c) { return (s SUBSEP c) in fast ? fast[s, c] : 0 }
function r(s, a, b) { return t(s, a) && t(s, b) ? t(s, a) / t(s, b) : 0 }
function rm(s, a, b) { return r(s, a, b) ? med[s, a] / med[s, b] : 0 }
function shown(value, format) { return value ? sprintf(format, value) : "-" }
function judge(text, value, most) {
  printf "  %-62s %s\n", text, value <= most ? sprintf("met, %.1f%% under", 100 * (1 - value / most)) : sprintf("MISSED by %.1f%%", 100 * (value / most - 1))
}
function target(s, a, b, most) {
  if (r(s, a, b)) judge(sprintf("%-11s %s/%s %.3f (medians %.3f), at most %.2f", s, a, b, r(s, a, b), rm(s, a, b), most), r(s, a, b), most)
}
function middle(list,   v, n, i, j, x) {
  n = split(list, v, " ")
  for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { x = v[j]; v[j] = v[j - 1]; v[j - 1] = x }
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
FILENAME ~ /times$/ { if (!($1 in runs)) scan[++n] = $1; fast[$1, $2] = $3; med[$1, $2] = $4; runs[$1] = $5 }
FILENAME ~ /checks$/ { rss[$1] = $2; same[$1] = $3; baseSame[$1] = $4 }
FILENAME ~ /stages$/ {
  if (!($1 in low) || $3 < low[$1]) low[$1] = $3
  if (!($1 in high) || $3 > high[$1]) high[$1] = $3
  for (i = 4; i < NF; i += 2) { if (!($i in stage)) stages[++m] = $i; stage[$i]; ms[$1, $i] = ms[$1, $i] " " $(i + 1) }
}
FILENAME ~ /limited$/ { limited[++l] = $0 }
END {
  printf "\nthe fastest run of each command, s: all = the tool on every CPU, 1cpu = pinned with taskset -c 0, base and\n"
  printf "base1cpu = the baseline; ratios of the fastest runs, \"medians\" 1cpu/all of the medians; RSS: peak on 2 threads\n\n"
  printf "%-11s %5s %4s %7s %7s %7s %8s %7s %6s %7s %5s %7s %7s %8s", "scan", "MP", "runs", "cp", "all", "1cpu", "1cpu/all",
    "medians", "all/cp", "1cpu/cp", "ns/px", "RSS MiB", "convert", "all/conv"
  if (baseline != "") printf " %7s %8s %8s %13s", "base", "all/base", "base1cpu", "1cpu/base1cpu"
  for (i = 1; i <= n; i++) {
    s = scan[i]; split(s, size, "x"); px = size[1] * size[2]
    printf "\n%-11s %5.1f %4d %7.3f %7.3f %7s %8s %7s %6.2f %7s %5.2f %7.1f %7s %8s", s, px / 1e6, runs[s], t(s, "cp"), t(s, "all"),
      shown(t(s, "1cpu"), "%.3f"), shown(r(s, "1cpu", "all"), "%.2f"), shown(rm(s, "1cpu", "all"), "%.2f"),
      r(s, "all", "cp"), shown(r(s, "1cpu", "cp"), "%.2f"), t(s, "all") * 1e9 / px, rss[s] / 1024, shown(t(s, "convert"), "%.3f"),
      shown(r(s, "all", "convert"), "%.2f")
    if (baseline != "") printf " %7s %8s %8s %13s", shown(t(s, "base"), "%.3f"), shown(r(s, "all", "base"), "%.3f"),
      shown(t(s, "base1cpu"), "%.3f"), shown(r(s, "1cpu", "base1cpu"), "%.3f")
  }
  printf "\n\nstage medians, ms (lomvera_timed), and the threads the stages used\n%-11s %7s", "scan", "threads"
  for (j = 1; j <= m; j++) printf " %12s", stages[j]
  for (i = 1; i <= n; i++) {
    s = scan[i]; printf "\n%-11s %7s", s, low[s] == high[s] ? low[s] : low[s] "-" high[s]
    for (j = 1; j <= m; j++) printf " %12s", (s SUBSEP stages[j]) in ms ? sprintf("%.1f", middle(ms[s, stages[j]])) : "-"
  }
  printf "\n\ntargets (ratios of the fastest runs, the medians'"'"' beside them)\n"
  for (i = 1; i <= n; i++) {
    s = scan[i]
    if (s == "12000x7500" || s == "7500x12000") { target(s, "all", "cp", 2); target(s, "1cpu", "cp", 3) }
    if (index(large, " " s " ")) target(s, "all", "cp", 2)
    if (s != "1224x816" && s != "3872x2592") continue
    if (baseline == "") printf "  %-11s against the baseline on all CPUs and on 1 CPU: not measured (give --baseline=PATH)\n", s
    else { target(s, "all", "base", 1.03); target(s, "1cpu", "base1cpu", 1.03) }
  }
  worst = scan[1]; over = 0; differ = ""; baseDiffers = ""
  for (i = 1; i <= n; i++) {
    s = scan[i]; if (rss[s] > rss[worst]) worst = s
    over += rss[s] > 16 * 1024; if (!same[s]) differ = differ " " s; if (baseSame[s] == "0") baseDiffers = baseDiffers " " s
  }
  judge(sprintf("peak RSS on 2 threads %.1f MiB on %s (%d of %d scans over), at most 16", rss[worst] / 1024, worst, over, n),
    rss[worst] / 1024, 16)
  for (j = 1; j <= l; j++) {
    split(limited[j], f, " ")
    outcome = f[2] == 0 ? "completed" : f[2] == 137 ? "KILLED (out of memory)" : "FAILED, status " f[2]
    printf "  %-11s within %d MiB: %s, cgroup peak %.1f MiB, tool RSS %.1f MiB, same bytes: %s  %s\n", f[1], limit, outcome,
      f[3] / 1048576, f[4] / 1024, f[5] ? "yes" : "no", outcome == "completed" && f[5] ? "met" : "MISSED"
  }
  printf "  12000x7500  threads pinned to 1 CPU: %s  %s\n", threadsPinned, threadsPinned == 1 ? "met" : "MISSED"
  printf "  12000x7500  threads within a 1-CPU quota: %s  %s\n", threadsQuota,
    threadsQuota == "not measured" ? "(no cpu cgroup, see the notes)" : threadsQuota == 1 ? "met" : "MISSED"
  printf "  the same bytes on all CPUs, pinned, timed and on 2 threads: %s\n", differ == "" ? "met" : "MISSED on" differ
  if (baseDiffers != "") notes = notes "\n  the baseline wrote other bytes than the tool on" baseDiffers
  if (notes != "") printf "\nnotes%s\n", notes
  exit differ != ""
}' "$work/times" "$work/checks" "$work/stages" "$work/limited" | tee "$results/report.txt" || status=$?
echo "bench: hyperfine's runs (JSON and summaries) and this report are in $results"
exit "${status:-0}"
