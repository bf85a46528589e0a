#!/usr/bin/env bash
# Makes the README's pictures of the windows from their end-to-end tests on a
# private X server (1024x768): the main window's stages and the station
# window with eight slots mid-run and at the end, its settings dialog, a
# calibration and a gauge study's end.
# Needs a build (tools/run.sh or tools/test-all.sh made one in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
export COLDSTART_SCREENSHOTS=$PWD/docs/screenshots
bash tools/with-xvfb.sh "$build/tests/window_test" --gtest_filter='E2e.*'
bash tools/with-xvfb.sh "$build/tests/stationwin_test" --gtest_filter='StationWindowE2e.*'
echo "pictures: docs/screenshots/"
