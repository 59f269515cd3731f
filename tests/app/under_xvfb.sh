#!/bin/sh
# Runs the real program under a virtual X server, from its own folder holding
# an images/ folder: the splash must be painted, the main window must appear
# only after it (3 s), screenshots of both are kept in OUT, and closing the
# main window through the window system must end the program with exit code 0.
# Usage: under_xvfb.sh CORVANEL XWIN OUT
set -u

if [ "${1:-}" != --inside ]; then
    if ! command -v xvfb-run >/dev/null 2>&1; then
        echo "xvfb-run is not installed (scripts/install-deps.sh installs it): skipped"
        exit 77
    fi
    exec xvfb-run -a -s "-screen 0 1280x1024x24" sh "$0" --inside "$@"
fi
shift
exe=$1 xwin=$2 out=$3
title="Corvanel - Viewer & Evaluator v.2"
mkdir -p "$out"
rm -f "$out/splash.png" "$out/main.png"

ws=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$ws"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
mkdir -p "$ws/images/sub"
: >"$ws/images/page01.tif"
: >"$ws/images/Page02.png"
: >"$ws/images/page03"
cd "$ws" || fail "no workspace"
# Beside its images/, the program's folder is the workspace.
cp "$exe" "$ws/corvanel" || fail "cannot copy the program"

export QT_QPA_PLATFORM=xcb
start=$(date +%s%N)
"$ws/corvanel" &
pid=$!

# The splash: its title band is sky blue.
tries=0
until "$xwin" shot "$out/splash.png" 166 202 240 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 50 ] || fail "the splash was never painted"
    sleep 0.2
done
"$xwin" wait "$title" 30 || fail "no main window"
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed" -ge 3000 ] || fail "the main window came after $elapsed ms, before the splash was over"

sleep 1
"$xwin" shot "$out/main.png" || fail "no screenshot of the main window"
"$xwin" close "$title" || fail "cannot close the main window"
tries=0
while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "still running 10 s after the close"
    sleep 0.1
done
wait "$pid"
rc=$?
pid=
[ "$rc" -eq 0 ] || fail "exit code $rc"
echo "ok: main window after $elapsed ms, exit code 0; screenshots in $out"
