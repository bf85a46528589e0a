#!/usr/bin/env bash
# A simulated lot's report page, as a browser shows it: stores two lots of
# made-up results (gps-lot-sim), writes the page (gps-coldstart-cli report
# --html) and takes pictures of it in headless Chromium: the top of the page
# (overall, yield, retests) and, from a copy without the sections before it, its
# C/N0 and statistics part (docs/screenshots/report-*.png), the database named
# by its file alone.  The lot and the page stay in out/report-demo/.  Needs a
# build (tools/run.sh or tools/test-all.sh made one in build/) and chromium
# (tools/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=out/report-demo
rm -rf "$out"; mkdir -p "$out"

"$build/sim/gps-lot-sim" --db "$out/lot.sqlite" --lot WO-1001 --lot WO-1002 --units 200
"$build/cli/gps-coldstart-cli" report --db "$out/lot.sqlite" --html "$out/report.html"
"$build/cli/gps-coldstart-cli" report --db "$out/lot.sqlite" --json >"$out/report.json"

# The pictures' copies name the database by its file alone, not by where this
# checkout lies on the machine that made them.
python3 - "$out" <<'PY'
import os, re, sys
out = sys.argv[1]
page = open(out + "/report.html", encoding="utf-8").read()
page = page.replace(os.path.abspath(out) + "/", "")
open(out + "/report-top.html", "w", encoding="utf-8").write(page)
later = re.sub(r"</header>.*?(?=<section id=\"cn0\">)", "</header>\n", page, flags=re.S)
open(out + "/report-cn0.html", "w", encoding="utf-8").write(later)
PY

shot() {  # shot PICTURE HEIGHT PAGE: the page in a fresh profile
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d -p "$PWD/$out" profile.XXXX)" --hide-scrollbars \
        --window-size="820,$2" --screenshot="$1" "file://$PWD/$out/$3" 2>"$out/chromium.log"
}
shot docs/screenshots/report-yield-ttff.png 2000 report-top.html
shot docs/screenshots/report-cn0-statistics.png 1150 report-cn0.html
rm -rf "$out"/profile.*
echo "page: $out/report.html"
echo "pictures: docs/screenshots/report-yield-ttff.png, docs/screenshots/report-cn0-statistics.png"
