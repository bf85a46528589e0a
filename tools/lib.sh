# Shell helpers for the scripts in tools/: waiting on a condition, a private
# Xvfb display, and where the main window's buttons are.  Source it.

# The main window's buttons, as screen points relative to the window: the
# middle of each designed box (pixels).
START_BUTTON=(278 69)  # "Cold Start On/Off": 222,18 113x103
EXIT_BUTTON=(277 164)  # "Exit": 222,136 111x57

# wait_until SECONDS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds; fails when SECONDS pass first.
wait_until() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# start_xvfb FOLDER [SCREEN]: starts an Xvfb on a free display number, logging
# to FOLDER/xvfb.log, and exports DISPLAY and QT_QPA_PLATFORM for it once it
# takes connections.  Its process id is left in XVFB_PID.  Fails when it does
# not start within 30 seconds.
start_xvfb() {
    local folder=$1 screen=${2:-1024x768x24}
    rm -f "$folder/display"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$folder/display" \
        >"$folder/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if ! wait_until 30 grep -q . "$folder/display"; then
        echo "Xvfb did not start; see $folder/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=":$(head -n1 "$folder/display")"
    export QT_QPA_PLATFORM=xcb
    unset WAYLAND_DISPLAY
    export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
}
