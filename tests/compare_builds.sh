#!/usr/bin/env bash
# Runs a native build of the tool and a cross build (the Windows one under
# Wine, the ARM64 one under qemu-user) on
# the same pictures and compares their results byte for byte: every picture
# in a single-file run, then all of them in one directory run on each side.
#
#   compare_builds.sh NATIVE_BUILD_DIR EMULATOR CROSS_TOOL WORK_DIR
#
# EMULATOR is split into words at spaces.
#
# A directory run's results depend on the order of its files, since the
# rounding generator carries on from file to file. The pictures' names start
# with distinct lower-case letters, an order that a name-sorted listing on
# either platform gives alike; the order each side actually took is read from
# its console output and compared before the results are.
set -euo pipefail

native_build=$1
emulator=$2
cross_tool=$3
work=$4

separator=/
case $cross_tool in *.exe) separator='\' ;; esac

failures=0
fail() {
  echo "DIFFERENT: $*"
  failures=$((failures + 1))
}

# The report line of a run without its time, and with Unix line ends.
report_of() { tr -d '\r' <"$1" | sed -n 's/^\(stripes: .*\), processing time: .*/\1/p'; }
summary_of() { tr -d '\r' <"$1" | sed -n 's/^Total run-time: .*\(Average shift: .*\)/\1/p'; }
loading_order() { tr -d '\r' <"$1" | sed -n 's/^loading input file .*[\\/]//p'; }

# The work directory is made anew; an existing one is emptied only when an
# earlier comparison made it.
if [ -e "$work" ]; then
  if [ ! -f "$work/.compare-builds" ]; then
    echo "$work exists and was not made by $0: not touching it" >&2
    exit 2
  fi
  rm -rf "$work"
fi
mkdir -p "$work/pictures" "$work/native" "$work/cross"
touch "$work/.compare-builds"
cd "$work"
"$native_build/make_test_pictures" pictures
"$native_build/make_sample_scan" pictures/sample.tga >/dev/null
pictures=(pictures/*.tga)

for picture in "${pictures[@]}"; do
  name=${picture#pictures/}
  "$native_build/lomvera" "$picture" "native/$name" </dev/null >"native/$name.log" ||
    fail "native run on $name ended with status $?"
  # Paths relative to the current directory, with backslashes for a
  # Windows tool.
  $emulator "$cross_tool" "pictures$separator$name" "cross$separator$name" </dev/null >"cross/$name.log" ||
    fail "cross-built run on $name ended with status $?"
  cmp "native/$name" "cross/$name" || fail "single-file result of $name"
  [ "$(report_of "native/$name.log")" = "$(report_of "cross/$name.log")" ] || fail "report line of $name"
  [ -n "$(report_of "native/$name.log")" ] || fail "no report line for $name"
done

mkdir native-directory cross-directory
cp "${pictures[@]}" native-directory/
cp "${pictures[@]}" cross-directory/
"$native_build/lomvera" native-directory </dev/null >native-directory.log
$emulator "$cross_tool" cross-directory </dev/null >cross-directory.log
native_order=$(loading_order native-directory.log)
cross_order=$(loading_order cross-directory.log)
if [ "$native_order" != "$cross_order" ]; then
  fail "directory runs processed the files in different orders:" $native_order "/" $cross_order
else
  for picture in "${pictures[@]}"; do
    name=${picture#pictures/}
    result=${name%????}_s.tga
    cmp "native-directory/$result" "cross-directory/$result" || fail "directory-run result $result"
  done
  [ "$(summary_of native-directory.log)" = "$(summary_of cross-directory.log)" ] || fail "summary line"
fi

echo "compared ${#pictures[@]} pictures, single-file and in one directory run;" \
  "processing order:" $native_order
[ "$failures" -eq 0 ]
