#!/usr/bin/env bash
# Makes the before/after pictures of the README: the same enlarged crop of the
# striped sample scan and of its corrected copy, as PNG files in doc/.
# Needs a build in build/ (see the README) and ImageMagick's convert.
#   bash tools/make_readme_pictures.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# ImageMagick's own convert, called by its full path so that no other program
# of that name on PATH is taken instead.
convert=/usr/bin/convert
# The crop: around the sun and the ridge below it, where the stripes show
# best; enlarged four times, every pixel a 4 x 4 block.
crop=120x80+370+95
scale=400%

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/make_sample_scan "$work/striped.tga" >/dev/null
build/lomvera "$work/striped.tga" "$work/corrected.tga" </dev/null >/dev/null

for name in striped corrected; do
  # TGA files are stored bottom row first; -auto-orient turns them upright.
  # Without metadata and time stamps the PNG files come out the same on
  # every run.
  "$convert" "$work/$name.tga" -auto-orient -crop "$crop" +repage -scale "$scale" -strip \
    -define png:exclude-chunks=date,time "doc/sample-$name.png"
  echo "wrote doc/sample-$name.png"
done
