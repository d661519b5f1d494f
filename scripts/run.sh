#!/usr/bin/env bash
# The demo: installs what is missing, builds, brings up the demo world (a real OpenVPN
# server in a network namespace, simulated devices behind it, the cloud simulator on the
# loopback; tools/lab/demo.sh) and starts Corrivo 2 against it, as root. Without a
# display the window opens on a virtual one (Xvfb). Ctrl-C, or closing the window, ends
# the application and removes the demo world.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}
demo=${CORRIVO_DEMO_NAME:-demo}
demo_state=${CORRIVO_DEMO_STATE:-/run/corrivo-demo}/$demo

if [[ $(id -u) -ne 0 ]]; then
    echo "run: Corrivo 2 configures tunnels and serial ports and runs as root: sudo bash $0" >&2
    exit 1
fi

"$top/scripts/setup.sh"
"$top/scripts/build.sh"

# A demo whose run script is gone (killed) is a leftover; one whose run script lives is
# someone else's demo.
if [[ -e $demo_state ]]; then
    if [[ -f $demo_state/run.pid ]] && kill -0 "$(cat "$demo_state/run.pid")" 2>/dev/null; then
        echo "run: the demo \"$demo\" is in use by process $(cat "$demo_state/run.pid");" \
            "set CORRIVO_DEMO_NAME to run another" >&2
        exit 1
    fi
    echo "run: removing the demo \"$demo\" left over from an earlier run"
    "$top/tools/lab/demo.sh" -n "$demo" down
fi

app_pid=
xvfb_pid=
cleaned=0

# Ends the application with everything it started (its session), removes the serial
# port pairs it left, then the demo world and the virtual display.
cleanup() {
    ((cleaned)) && return
    cleaned=1
    trap '' INT TERM HUP
    if [[ -n $app_pid ]]; then
        if kill -0 "$app_pid" 2>/dev/null; then
            echo "run: ending Corrivo 2"
            kill "$app_pid" 2>/dev/null || true
            local n
            for n in $(seq 1 50); do
                kill -0 "$app_pid" 2>/dev/null || break
                sleep 0.1
            done
        fi
        # The application was started as the leader of a session of its own: whatever
        # is left in that session (web engine helpers, serial relays) is ours to end.
        local pids
        pids=$(ps -o pid= -s "$app_pid" 2>/dev/null || true)
        # shellcheck disable=SC2086
        [[ -z $pids ]] || kill -9 $pids 2>/dev/null || true
        # Pairs a killed application could not remove (their holders run detached).
        local line
        while read -r line; do
            if [[ $line =~ ^CNCA([0-9]+)\  ]]; then
                "$build/bin/setupc" remove "${BASH_REMATCH[1]}" >/dev/null 2>&1 || true
            fi
        done < <("$build/bin/setupc" list 2>/dev/null || true)
    fi
    echo "run: removing the demo world"
    "$top/tools/lab/demo.sh" -n "$demo" down || true
    if [[ -n $xvfb_pid ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

"$top/tools/lab/demo.sh" -n "$demo" -b "$build/bin" up
echo $$ >"$demo_state/run.pid"
# shellcheck source=/dev/null
source "$demo_state/demo.env"
export CORRIVO_CLOUD_URL CORRIVO_CA_FILE

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    display=99
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
        display=$((display + 1))
    done
    setsid Xvfb ":$display" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    for n in $(seq 1 100); do
        [[ -e /tmp/.X11-unix/X$display ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || { echo "run: Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    export DISPLAY=:$display
    echo "run: no display; Corrivo 2 runs on the virtual display :$display"
    echo "  screenshot:  DISPLAY=:$display xwd -root -silent | xwdtopnm | pnmtopng > corrivo2.png"
    echo "  watch live:  apt-get install x11vnc; x11vnc -display :$display -localhost -viewonly,"
    echo "               then a VNC viewer on localhost:5900 (ssh -L 5900:localhost:5900 from afar)"
fi

echo
echo "Corrivo 2 against the demo cloud $CORRIVO_CLOUD_URL"
echo "  sign in with:  $DEMO_USERNAME / $DEMO_PASSWORD   (or $DEMO_USERNAME2 / $DEMO_PASSWORD2)"
echo "  devices:       \"$DEMO_DEVICE_NAME\" at http://$DEMO_DEVICE_IP once the tunnel is up"
echo "  Ctrl-C ends the application and removes the demo world"
echo

# A session of its own: Ctrl-C in the terminal reaches this script only, which then
# ends the application and everything it started.
setsid "$build/bin/corrivo2" "$@" </dev/null &
app_pid=$!
set +e
wait "$app_pid"
status=$?
set -e
# Ended by itself (window closed): its exit status is ours.
exit "$status"
