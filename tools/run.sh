#!/usr/bin/env bash
# Sets up the machine, builds every program (the window, the station window,
# the headless station, the simulated receiver and generator, the demo), says
# where each is, and starts the demo: the program with a simulated receiver
# behind every COM port, so that a whole cold start can be
# seen without a receiver.  Without a display the demo runs under Xvfb, one
# cold start is clicked through, and the screenshots of its stages are saved
# (tools/demo.sh).  Arguments go to the demo (see gps-coldstart-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
programs=(
    "app/gps-coldstart:the window"
    "app/gps-coldstart-demo:the window's demo, a simulated receiver behind every port"
    "stationwin/gps-coldstart-station:the station window, a tile per slot"
    "cli/gps-coldstart-cli:the headless station and its reports"
    "sim/gps-receiver-sim:a simulated receiver on a pseudo-terminal"
    "sim/gps-generator-sim:a simulated SCPI signal generator on loopback"
)
targets=()
for p in "${programs[@]}"; do targets+=("$(basename "${p%%:*}")"); done
cmake --build "$build_dir" --target "${targets[@]}"

echo "The programs:"
for p in "${programs[@]}"; do printf '  %-40s %s\n' "$build_dir/${p%%:*}" "${p#*:}"; done

BUILD_DIR=$build_dir exec bash tools/demo.sh "$@"
