#!/usr/bin/env bash
# CPU use of the real program with its window open, from /proc/PID/stat.
#
#   bash tools/measure-idle.sh [SECONDS=30] [idle|run]
#
# idle: the window open, no run (after WARMUP seconds, default 10, so that
#       start-up and the fade-in are over).
# run:  a run at 921,600 baud: bench/ptyfeed streams 92,160 characters a second
#       into a pseudo-terminal linked as /dev/ttyUSB31 (COM 64), "Set.txt" selects
#       COM 64 at 921600, and xdotool presses "Cold Start On/Off"; measured after
#       WARMUP seconds, by which time the run is in "Cold Start OK!".  Needs root
#       (for the link in /dev), Xvfb and xdotool; refuses when /dev/ttyUSB31 exists.
#
# BIN is the program (default build/app/gps-coldstart).  PLATFORM=offscreen runs
# the idle case without an X server (the run case needs Xvfb to press the button).
# SHOT=file.png saves a screenshot of the window at the end (needs Xvfb and import).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
root="$PWD"

seconds="${1:-30}"
what="${2:-idle}"
bin="$(realpath "${BIN:-build/app/gps-coldstart}")"
warmup="${WARMUP:-10}"
platform="${PLATFORM:-xvfb}"
feed="${FEED:-$root/build-bench/bench/ptyfeed}"
device=/dev/ttyUSB31

work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

if [ "$what" = run ]; then
    [ "$platform" = xvfb ] || { echo "the run case needs PLATFORM=xvfb" >&2; exit 2; }
    [ -e "$device" ] || [ -L "$device" ] && { echo "$device exists; not touching it" >&2; exit 1; }
    [ -x "$feed" ] || { echo "no $feed: build the ptyfeed target of build-bench" >&2; exit 1; }
    printf 'COM 64,921600\r\n' >"$work/Set.txt"
else
    printf 'COM 1,9600\r\n' >"$work/Set.txt"
fi

if [ "$platform" = xvfb ]; then
    start_xvfb "$work" 800x600x24
    pids+=("$XVFB_PID")
else
    export QT_QPA_PLATFORM=offscreen
fi

if [ "$what" = run ]; then
    "$feed" --seconds=$((warmup + seconds + 5)) --rate=92160 --link="$device" \
        --status="$work/feed.status" >"$work/feed.log" 2>&1 &
    pids+=($!)
    wait_until 5 grep -q '^slave' "$work/feed.log" || { echo "ptyfeed did not start" >&2; exit 1; }
fi

(cd "$work" && exec "$bin") >"$work/program.log" 2>&1 &
pid=$!
pids+=($pid)

if [ "$what" = run ]; then
    sleep 3
    window="$(xdotool search --sync --name '^GPS Cold Start$' | head -n1)"
    xdotool mousemove --window "$window" "${START_BUTTON[@]}" click 1
    sleep $((warmup - 3))
else
    sleep "$warmup"
fi

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz="$(getconf CLK_TCK)"
fed() { if [ -s "$work/feed.status" ]; then cat "$work/feed.status"; else echo 0 0; fi; }
t0="$(date +%s.%N)"
c0="$(ticks)"
f0="$(fed)"
sleep "$seconds"
c1="$(ticks)"
f1="$(fed)"
t1="$(date +%s.%N)"
rss="$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")"

if [ -n "${SHOT:-}" ] && [ "$platform" = xvfb ]; then
    import -window "$(xdotool search --name '^GPS Cold Start$' | head -n1)" "$SHOT" || true
fi

awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v what="$what" \
    -v platform="$platform" -v rss="$rss" 'BEGIN {
    cpu = (c1 - c0) / hz; wall = t1 - t0;
    printf "%s (%s): %.2f s CPU in %.1f s wall = %.2f%% of one core; VmRSS %d kB\n",
           what, platform, cpu, wall, 100 * cpu / wall, rss }'

if [ "$what" = run ]; then
    echo "$f0 $f1" | awk -v t0="$t0" -v t1="$t1" '{
        printf "stream during the measurement: %.0f characters/s, %d steps cut short\n",
               ($3 - $1) / (t1 - t0), $4 - $2 }'
    kill "$pid" 2>/dev/null || true
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
    cat "$work/feed.log"
fi
