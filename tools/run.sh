#!/usr/bin/env bash
# Sets up the machine, builds, and starts the demo: the program with a
# simulated receiver behind every COM port, so that a whole cold start can be
# seen without a receiver.  Without a display the demo runs under Xvfb, one
# cold start is clicked through, and the screenshots of its stages are saved
# (tools/demo.sh).  Arguments go to the demo (see gps-coldstart-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target gps-coldstart gps-coldstart-demo

BUILD_DIR=$build_dir exec bash tools/demo.sh "$@"
