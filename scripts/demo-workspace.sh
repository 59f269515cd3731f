#!/usr/bin/env bash
# Writes the demo workspace, BUILD/demo, unless it is there: five handwritten
# pages with their ground truth, the baseline method's result in results/ (what
# the viewer shows) and two contest participants under participants/: the
# same baseline, and a result with injected errors.
set -euo pipefail

build=${1:-build}
ws="$build/demo"
[ -f "$ws/participants/baseline/words/page05.tif.dat" ] && exit 0

rm -rf "$ws"
echo "demo: writing five handwritten pages into $ws"
"$build/tools/corvanel-mkworkspace" "$ws" --pages 5 --width 1700 --height 2200 \
  --lines 22 --words-per-line 6 --error-rate 0.2 --participant injected
echo "demo: segmenting them with the baseline method, corvanel-segment"
"$build/segment/corvanel-segment" "$ws"
cp -r "$ws/results" "$ws/participants/baseline"
