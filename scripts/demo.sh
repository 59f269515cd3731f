#!/usr/bin/env bash
# Writes the demo workspace into the build folder and opens the viewer on it.
# Without a display it scores the demo with corvanel-eval instead.
set -euo pipefail

build=${1:-build}
ws="$build/demo"

if [ ! -f "$ws/images/page05.tif" ]; then
  echo "demo: writing five synthetic pages into $ws"
  "$build/tools/corvanel-mkworkspace" "$ws" --pages 5 --width 1700 --height 2200 \
    --lines 22 --words-per-line 6 --error-rate 0.2
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/app/corvanel" "$ws"
fi

echo "demo: there is no display here (DISPLAY is not set), so the viewer cannot open." >&2
echo "demo: scoring the demo workspace with corvanel-eval instead (line level, then word level):" >&2
"$build/cli/corvanel-eval" "$ws" --level lines
echo
"$build/cli/corvanel-eval" "$ws" --level words
