#!/usr/bin/env bash
# Starts the demo: the cold-start tool with a simulated receiver behind every
# COM port.  Expects the demo built (tools/run.sh does that).
#
#   tools/demo.sh [--scripted] [DEMO OPTIONS...]
#
# With a display the window opens and the run is yours: press "Cold Start
# On/Off".  Without one (or with --scripted) the demo runs on a private Xvfb
# display and one whole cold start is clicked through with real X input; a
# screenshot of each stage is saved and the folder is printed at the end.
# Options after --scripted go to the demo (see gps-coldstart-demo --help).
#
# BUILD_DIR (default: build) is where the demo was built; SCREENSHOT_DIR
# (default: out/demo) is where the screenshots go.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

build_dir=${BUILD_DIR:-build}
demo=$PWD/$build_dir/app/gps-coldstart-demo
[ -x "$demo" ] || { echo "demo.sh: $demo is not built (run tools/run.sh)" >&2; exit 1; }

scripted=0
if [ "${1:-}" = "--scripted" ]; then
    scripted=1
    shift
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    scripted=1
fi

# The demo keeps its "Set.txt" in a working folder of its own.
work=$PWD/out/demo
mkdir -p "$work"
[ -f "$work/Set.txt" ] || printf 'COM 1,9600\r\n' >"$work/Set.txt"

if [ "$scripted" = 0 ]; then
    cd "$work"
    exec "$demo" "$@"
fi

shots=${SCREENSHOT_DIR:-$PWD/out/demo}
mkdir -p "$shots"
log=$work/demo.log
: >"$work/xdotool.log"
XVFB_PID=""
demo_pid=""
cleanup() {
    if [ -n "$demo_pid" ]; then kill "$demo_pid" 2>/dev/null || true; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

start_xvfb "$work" || exit 1

# A receiver that knows the time at once, restarts four seconds after the
# cold start (long enough to see the count) and is switched off 30 seconds
# after the demo starts.  The confirmation comes some ten seconds after the
# click, so the click has twenty seconds to come, however busy the machine.
if [ $# -eq 0 ]; then
    set -- --mode off-after --off-after 30 --time-known-after 0 --reset-silence 4
fi
(cd "$work" && exec "$demo" "$@") >"$log" 2>"$work/receiver.log" &
demo_pid=$!

demo_ended() {
    ! kill -0 "$demo_pid" 2>/dev/null
}
# Waits until the demo has printed a line matching the pattern: what a click
# did is judged by that, and the click's own complaints are shown only when
# its effect does not come.
wait_for() {
    local pattern=$1 seconds=$2
    wait_until "$seconds" grep -q -- "$pattern" "$log" && return 0
    echo "demo.sh: no \"$pattern\" within $seconds s; the demo printed:" >&2
    cat "$log" "$work/xdotool.log" >&2
    return 1
}

# shoot NAME: a screenshot of the window once it shows something painted and
# new, as the repaint may trail the status line.
n=0
last=""
shoot() {
    n=$((n + 1))
    shot="$shots/demo-$n-$1.png"
    wait_until 30 fresh_shot || echo "demo.sh: the window did not change for $1" >&2
    last=$shot
    echo "  $shot"
}
fresh_shot() {
    import -window "$window" "$shot" && [ "$(identify -format %k "$shot")" -gt 1 ] &&
        { [ -z "$last" ] || ! compare -metric AE "$last" "$shot" null: 2>/dev/null; }
}

find_window() {
    window=$(xdotool search --name '^GPS Cold Start \(demo\)$' | head -n1)
    [ -n "$window" ]
}
wait_for "^window shown" 60
wait_until 60 find_window || { echo "demo.sh: the demo's window is not on the display" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y of the window

click() {
    xdotool mousemove $((X + $1)) $((Y + $2)) click 1 2>"$work/xdotool.log" || true
}

echo "Screenshots of the demo run:"
shoot idle
click "${START_BUTTON[@]}"
wait_for "^status: UTC Time" 60
shoot utc-time
wait_for "^status: Cold Starting" 60
shoot cold-starting
wait_for "^status: Cold Start OK!" 60
shoot cold-start-ok
wait_for "^status: GPS be shuted down." 90
shoot shut-down

click "${EXIT_BUTTON[@]}"
if ! wait_until 60 demo_ended; then
    echo "demo.sh: the demo did not end on Exit" >&2
    cat "$work/xdotool.log" >&2
    exit 1
fi
wait "$demo_pid" || true
demo_pid=""
echo "The run, as the status box showed it:"
sed 's/^/  /' "$log"
echo "Screenshots are in $shots"
