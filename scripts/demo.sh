#!/usr/bin/env bash
# Writes the demo workspace into the build folder and opens the viewer on it.
# Without a display it scores and ranks the demo with corvanel-eval instead.
set -euo pipefail

build=${1:-build}
ws="$build/demo"
"$(dirname "$0")/demo-workspace.sh" "$build"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/app/corvanel" "$ws"
fi

echo "demo: there is no display here (DISPLAY is not set), so the viewer cannot open." >&2
echo "demo: scoring the baseline's result with corvanel-eval instead (line level, then word level)," >&2
echo "demo: then ranking the two participants:" >&2
"$build/cli/corvanel-eval" "$ws" --level lines
echo
"$build/cli/corvanel-eval" "$ws" --level words
echo
"$build/cli/corvanel-eval" rank "$ws" "$ws/participants"
