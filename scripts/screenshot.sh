#!/usr/bin/env bash
# Takes the README's screenshot: the viewer on the demo workspace under Xvfb,
# a page selected at word level and evaluated, its errors shown and the
# largest problem region selected. Needs xvfb-run, xdotool and ImageMagick's import.
set -euo pipefail

build=${1:-build}
out=${2:-docs/screenshot.png}
root=$(pwd)
ws="$root/$build/demo"
"$root/scripts/demo-workspace.sh" "$build"

case $out in /*) ;; *) out="$root/$out" ;; esac
xvfb-run -a -s "-screen 0 1400x960x24" bash -s "$root/$build" "$ws" "$out" <<'INNER'
set -euo pipefail
build=$1; ws=$2; out=$3
"$build/app/corvanel" "$ws" &
pid=$!
win=$(xdotool search --sync --name "Corvanel - Viewer" | head -n 1)
sleep 4  # past the splash
eval "$(xdotool getwindowgeometry --shell "$win")"
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep "${3:-1}"; }
panel=$((WIDTH - 336))
click 40 66 2                       # the first page of the list
click 100 24                        # Words
click $((panel + 160)) $((57 + 99)) 2         # Evaluation
click $((panel + 20)) $((57 + 336 + 14)) 2    # Show errors
click $((panel + 100)) $((57 + 336 + 198)) 2  # the third largest problem region
# The pointer on that region, now in the middle of the view.
xdotool mousemove --window "$win" $(((145 + panel) / 2 - 120)) $(((57 + HEIGHT) / 2)); sleep 1
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
kill "$pid"
wait "$pid" 2>/dev/null || true
INNER
echo "screenshot: $out"
