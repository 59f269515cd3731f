#!/usr/bin/env bash
# Takes the README's screenshot: the viewer on the demo workspace under Xvfb,
# a page selected, its word-level ground truth painted with bounding boxes,
# and the page evaluated. Needs xvfb-run, xdotool and ImageMagick's import.
set -euo pipefail

build=${1:-build}
out=${2:-docs/screenshot.png}
root=$(pwd)
[ -f "$build/app/images/page05.tif" ] || "$build/tools/corvanel-mkworkspace" "$build/app" --pages 5 \
  --width 1700 --height 2200 --lines 22 --words-per-line 6 --error-rate 0.2

case $out in /*) ;; *) out="$root/$out" ;; esac
xvfb-run -a -s "-screen 0 1400x960x24" bash -s "$build" "$out" <<'INNER'
set -euo pipefail
build=$1; out=$2
cd "$build/app"
./corvanel &
pid=$!
win=$(xdotool search --sync --name "Corvanel - Viewer" | head -n 1)
sleep 4  # past the splash
eval "$(xdotool getwindowgeometry --shell "$win")"
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep "${3:-1}"; }
click 40 66 2                       # the first page of the list
click 100 24                        # Words
click 272 24 2                      # Ground Truth
click 530 24 2                      # Bounding Boxes
click $((WIDTH - 336 + 160)) $((57 + 99)) 2   # Evaluation
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
kill "$pid"
wait "$pid" 2>/dev/null || true
INNER
echo "screenshot: $out"
