#!/usr/bin/env bash
# "Set.txt" under SIGKILL: builds bench/killwrite and runs it in a fresh
# folder, by default 2000 kills at random moments up to 20 ms into a child
# that rewrites the file in a loop.
#
#   bash tools/kill-settings.sh [ITERATIONS=2000] [MAX_DELAY_US=20000] [FOLDER]
#
# FOLDER (default: a new one under build-bench) decides the file system the
# file lives on.  Exits non-zero when Set.txt was ever anything but one of
# the two contents.
set -euo pipefail
cd "$(dirname "$0")/.."

iterations="${1:-2000}"
max_delay="${2:-20000}"
build="${BENCH_BUILD_DIR:-build-bench}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOLDSTART_BENCH=ON \
    -DCOLDSTART_TESTS=ON >/dev/null
cmake --build "$build" --target killwrite

folder="${3:-$(mktemp -d "$PWD/$build/killwrite.XXXXXX")}"
mkdir -p "$folder"
echo "== folder $folder on $(df -T "$folder" | awk 'NR==2 {print $2 " (" $1 ")"}')"
"$build/bench/killwrite" --iterations="$iterations" --max-delay-us="$max_delay" --dir="$folder"
