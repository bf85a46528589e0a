#!/usr/bin/env bash
# Sets up the machine, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target gps-coldstart

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting under Xvfb; the window's screenshot goes to out/main-window.png" >&2
    mkdir -p out
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        ./build/app/gps-coldstart & pid=$!
        sleep 3
        import -window root out/main-window.png
        kill $pid'
    echo "screenshot: $PWD/out/main-window.png"
else
    exec ./build/app/gps-coldstart
fi
