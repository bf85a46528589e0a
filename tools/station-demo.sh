#!/usr/bin/env bash
# The headless station against three simulated receivers, run in tmux as a
# technician's terminal shows it: saves the live progress and the end of the
# run as pictures (docs/screenshots/station-*.png) and the JSON lines
# (out/station-demo/results.jsonl).  Needs a build (tools/run.sh or
# tools/test-all.sh made one in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=out/station-demo
rm -rf "$out"; mkdir -p "$out"
export XDG_DATA_HOME=$PWD/$out/data

sims=()
cleanup() { tmux -L station-demo kill-server 2>/dev/null || true; kill "${sims[@]}" 2>/dev/null || true; }
trap cleanup EXIT
sim() {  # sim NAME OPTIONS...: starts a receiver, waits for its device path
    local name=$1; shift
    "$build/sim/gps-receiver-sim" "$@" >"$out/$name.path" 2>"$out/$name.log" &
    sims+=($!)
    until [ -s "$out/$name.path" ]; do sleep 0.1; done
    head -1 "$out/$name.path"
}
a=$(sim a --time-known-after 2 --ttff 8)
b=$(sim b --family mtk --time-known-after 6 --ttff 12 --snr 44,42,41,40,37,35,0)
c=$(sim c --mode ignore --time-known-after 1 --ttff 2)

tmux -L station-demo new-session -d -x 110 -y 8 \
    "$build/cli/gps-coldstart-cli --json --lot WO-1187 --max-ttff 60 $a=SN0001 $b@,mtk=SN0002 $c=SN0003 >$out/results.jsonl; echo \"exit status \$?\"; exec cat"
sleep 9
tmux -L station-demo capture-pane -e -p >"$out/live.txt"
until tmux -L station-demo capture-pane -p | grep -q "exit status"; do sleep 1; done
tmux -L station-demo capture-pane -e -p >"$out/done.txt"
python3 tools/pane2png.py "$out/live.txt" docs/screenshots/station-live.png
python3 tools/pane2png.py "$out/done.txt" docs/screenshots/station-done.png
cat "$out/results.jsonl"
echo "pictures: docs/screenshots/station-live.png, docs/screenshots/station-done.png"
