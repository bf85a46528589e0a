#!/usr/bin/env bash
# Runs a command on a private Xvfb display that ends with it:
#
#   bash tools/with-xvfb.sh COMMAND [ARGS...]
#
# Without Xvfb installed the command runs as it is, without a display.
# Exits with the command's status, or 1 when Xvfb does not start.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

if ! command -v Xvfb >/dev/null; then
    unset DISPLAY
    exec "$@"
fi
folder=$(mktemp -d)
XVFB_PID=""
cleanup() {
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
    rm -rf "$folder"
}
trap cleanup EXIT
start_xvfb "$folder"
export DBUS_SESSION_BUS_ADDRESS=disabled:  # no session bus for the display
status=0
"$@" || status=$?
exit "$status"
