#!/usr/bin/env bash
# A simulated lot's report page, as a browser shows it: stores two lots of
# made-up results (gps-lot-sim), writes the page (gps-coldstart-cli report
# --html) and takes pictures of it in headless Chromium: the top of the page
# (overall, yield, TTFF) and, from a copy without the sections before it, its
# C/N0 and statistics part (docs/screenshots/report-*.png).  The lot and the page stay in
# out/report-demo/.  Needs a build (tools/run.sh or tools/test-all.sh made one
# in build/) and chromium (tools/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=out/report-demo
rm -rf "$out"; mkdir -p "$out"

"$build/sim/gps-lot-sim" --db "$out/lot.sqlite" --lot WO-1001 --lot WO-1002 --units 200
"$build/cli/gps-coldstart-cli" report --db "$out/lot.sqlite" --html "$out/report.html"
"$build/cli/gps-coldstart-cli" report --db "$out/lot.sqlite" --json >"$out/report.json"

python3 - "$out" <<'PY'
import re, sys
page = open(sys.argv[1] + "/report.html", encoding="utf-8").read()
later = re.sub(r"</header>.*?(?=<section id=\"cn0\">)", "</header>\n", page, flags=re.S)
open(sys.argv[1] + "/report-cn0.html", "w", encoding="utf-8").write(later)
PY

shot() {  # shot PICTURE HEIGHT PAGE: the page in a fresh profile
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d -p "$PWD/$out" profile.XXXX)" --hide-scrollbars \
        --window-size="820,$2" --screenshot="$1" "file://$PWD/$out/$3" 2>"$out/chromium.log"
}
shot docs/screenshots/report-yield-ttff.png 2000 report.html
shot docs/screenshots/report-cn0-statistics.png 1150 report-cn0.html
rm -rf "$out"/profile.*
echo "page: $out/report.html"
echo "pictures: docs/screenshots/report-yield-ttff.png, docs/screenshots/report-cn0-statistics.png"
