#!/usr/bin/env bash
# Writes the demo workspace next to the built viewer (its workspace is the
# folder of the executable) and starts the viewer there. Without a display it
# scores the demo with corvanel-eval instead.
set -euo pipefail

build=${1:-build}
app_dir="$build/app"

if [ ! -f "$app_dir/images/page05.tif" ]; then
  echo "demo: writing five synthetic pages into $app_dir"
  "$build/tools/corvanel-mkworkspace" "$app_dir" --pages 5 --width 1700 --height 2200 \
    --lines 22 --words-per-line 6 --error-rate 0.2
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cd "$app_dir"
  exec ./corvanel
fi

echo "demo: there is no display here (DISPLAY is not set), so the viewer cannot open." >&2
echo "demo: scoring the demo workspace with corvanel-eval instead (line level, then word level):" >&2
"$build/cli/corvanel-eval" "$app_dir" --level lines
echo
"$build/cli/corvanel-eval" "$app_dir" --level words
