#!/usr/bin/env bash
# The headless station against three simulated receivers, run in tmux as a
# technician's terminal shows it: saves the live progress and the end of the
# run as pictures (docs/screenshots/station-*.png) and the JSON lines
# (out/station-demo/results.jsonl).  Needs a build (tools/run.sh or
# tools/test-all.sh made one in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
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
    wait_until 30 grep -q '^/' "$out/$name.path" || { cat "$out/$name.log" >&2; exit 1; }
    head -1 "$out/$name.path"
}
pane() { tmux -L station-demo capture-pane -p "$@"; }
pane_shows() { pane | grep -qF -- "$1"; }
a=$(sim a --time-known-after 2 --ttff 8)
b=$(sim b --family mtk --time-known-after 6 --ttff 12 --snr 44,42,41,40,37,35,0)
c=$(sim c --mode ignore --time-known-after 1 --ttff 2)

tmux -L station-demo new-session -d -x 80 -y 8 \
    "$build/cli/gps-coldstart-cli --json --lot WO-1187 --max-ttff 60 $a=SN0001 $b@,mtk=SN0002 $c=SN0003 >$out/results.jsonl; echo \"exit status \$?\"; exec cat"
# The live picture once the first unit is acquiring, the rest under way.
wait_until 120 pane_shows "acquiring" || { echo "station-demo.sh: no unit acquiring" >&2; exit 1; }
pane -e >"$out/live.txt"
wait_until 300 pane_shows "exit status" || { echo "station-demo.sh: the run did not end" >&2; exit 1; }
pane -e >"$out/done.txt"
python3 tools/pane2png.py "$out/live.txt" docs/screenshots/station-live.png
python3 tools/pane2png.py "$out/done.txt" docs/screenshots/station-done.png
cat "$out/results.jsonl"
echo "pictures: docs/screenshots/station-live.png, docs/screenshots/station-done.png"
