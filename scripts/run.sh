#!/usr/bin/env bash
# The demo: installs what is missing, builds, brings up the demo world (a real OpenVPN
# server in a network namespace, simulated devices behind it, the cloud simulator on the
# loopback; tools/lab/demo.sh) and starts Corrivo 2 against it the way it runs on a
# desktop: the root helper corrivo2-helper as root, serving a group made for the demo,
# and the application as an unprivileged user in that group (the user behind sudo, or a
# demo user made for the run) with its web engine's sandbox on. Without a display the
# window opens on a virtual one (Xvfb). Ctrl-C, or closing the window, ends the
# application and the helper and removes the demo world, the group and the demo user.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}
demo=${CORRIVO_DEMO_NAME:-demo}
demo_state=${CORRIVO_DEMO_STATE:-/run/corrivo-demo}/$demo
# What the desktop user reads (the application, the CA, the helper's socket): beside the
# demo's own state, which is root's alone.
desktop=${CORRIVO_DEMO_STATE:-/run/corrivo-demo}/$demo-desktop
group=corrivo2-$demo
demo_user=corrivo-$demo
# Marks what this run's application starts (it passes its environment on), so that the
# clean-up takes the serial port pairs of this run and leaves the user's own.
run_marker=CORRIVO_DEMO_RUN=$demo-$$
# shellcheck source=../tools/lab/serialpairs.sh
source "$top/tools/lab/serialpairs.sh"
# shellcheck source=../tools/lab/xdisplay.sh
source "$top/tools/lab/xdisplay.sh"

if [[ $(id -u) -ne 0 ]]; then
    echo "run: the demo starts the root helper and a network namespace: sudo bash $0" >&2
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

# Ends every process of the demo user and removes it, the demo group and the desktop
# directory (also what an earlier, killed run left). Only accounts this script made, as
# $desktop/accounts records them, are removed: a group or user of that name made by
# anyone else stays.
remove_desktop() {
    local made_group made_account
    if [[ -f $desktop/accounts ]] && read -r made_group made_account <"$desktop/accounts"; then
        "$top/tools/lab/accounts.sh" remove "$made_group" "${made_account:-}" || true
    fi
    rm -rf --one-file-system "$desktop"
}
remove_desktop

app_pid=
helper_pid=
xvfb_pid=
made_user=0
cleaned=0

# Ends the application with everything it started (its session), removes the serial
# port pairs it left (only those: the user's serial directory may hold others), then
# the demo world and the virtual display.
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
        # Pairs a killed application could not remove (their holders run detached), in
        # the user's serial directory, removed as the user.
        remove_marked_pairs "$run_marker" "$uid" as_user "$desktop/bin/setupc"
    fi
    if [[ -n $helper_pid ]]; then
        # The helper ends its daemons when it is asked to end.
        kill "$helper_pid" 2>/dev/null || true
        wait "$helper_pid" 2>/dev/null || true
    fi
    # Removing the group also takes the user behind sudo out of it.
    remove_desktop
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

# The desktop user: the one behind sudo, or a demo user made for this run.
if [[ -n ${SUDO_USER:-} && $SUDO_USER != root ]] && id -u "$SUDO_USER" >/dev/null 2>&1; then
    user=$SUDO_USER
else
    user=$demo_user
    made_user=1
fi
mkdir -p "$desktop"
chmod 755 "$desktop"
if ((made_user)); then
    "$top/tools/lab/accounts.sh" add "$group" "$user" "$desktop/home" || {
        echo "run: the group $group or the user $user exists and is not this demo's;" \
            "set CORRIVO_DEMO_NAME to run another" >&2
        exit 1
    }
    echo "$group $user" >"$desktop/accounts"
    install -d -m 700 -o "$user" -g nogroup "$desktop/home"
else
    "$top/tools/lab/accounts.sh" add "$group" || {
        echo "run: the group $group exists and is not this demo's; set CORRIVO_DEMO_NAME" >&2
        exit 1
    }
    echo "$group" >"$desktop/accounts"
    gpasswd -a "$user" "$group" >/dev/null
fi
uid=$(id -u "$user")
gid=$(id -g "$user")
home=$(getent passwd "$user" | cut -d: -f6)
runtime=/run/user/$uid
if [[ ! -d $runtime || $(stat -c %u "$runtime") != "$uid" ]]; then
    runtime=$desktop/runtime
    install -d -m 700 -o "$uid" -g "$gid" "$runtime"
fi

# The application with its serial tools, and the CA, where the user can read them
# whichever directory this tree was built in.
install -d -m 755 "$desktop/bin" "$desktop/helper"
install -m 755 "$build/bin/corrivo2" "$build/bin/setupc" "$build/bin/com2tcp" "$desktop/bin/"
install -m 644 "$CORRIVO_CA_FILE" "$desktop/ca.pem"

# Runs a command as the desktop user, with nothing of root's but what is named here.
as_user() {
    local environment=(HOME="$home" XDG_RUNTIME_DIR="$runtime" PATH=/usr/local/bin:/usr/bin:/bin
                       LANG="${LANG:-C.UTF-8}" DISPLAY="${DISPLAY:-}" "$run_marker"
                       CORRIVO_CLOUD_URL="$CORRIVO_CLOUD_URL" CORRIVO_CA_FILE="$desktop/ca.pem"
                       CORRIVO_HELPER_SOCKET="$desktop/helper/helper.sock")
    local name
    for name in XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS; do
        [[ -z ${!name:-} ]] || environment+=("$name=${!name}")
    done
    setpriv --reuid="$uid" --regid="$gid" --init-groups --inh-caps=-all -- \
        env -i "${environment[@]}" "$@"
}

# The helper, as root, on a socket of the demo's own.
setsid "$build/bin/corrivo2-helper" --socket "$desktop/helper/helper.sock" \
    --runtime-dir "$desktop/helper/run" --group "$group" </dev/null &
helper_pid=$!
for n in $(seq 1 100); do
    [[ -S $desktop/helper/helper.sock ]] && break
    kill -0 "$helper_pid" 2>/dev/null || { echo "run: corrivo2-helper did not start" >&2; exit 1; }
    sleep 0.1
done

own_display=0
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    # Only clients with its cookie: root's and the desktop user's own copy.
    start_virtual_display "$desktop" "$uid" "$gid" || { echo "run: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=:$display
    export XAUTHORITY=$xauthority_user
    own_display=1
    echo "run: no display; Corrivo 2 runs on the virtual display :$display (cookie in $xauthority_root)"
    echo "  screenshot:  XAUTHORITY=$xauthority_root DISPLAY=:$display xwd -root -silent | xwdtopnm | pnmtopng > corrivo2.png"
    echo "  watch live:  apt-get install x11vnc; x11vnc -display :$display -auth $xauthority_root -localhost -viewonly,"
    echo "               then a VNC viewer on localhost:5900 (ssh -L 5900:localhost:5900 from afar)"
fi

if ((made_user && !own_display)) && [[ -n ${XAUTHORITY:-} && -f $XAUTHORITY ]]; then
    install -m 600 -o "$uid" -g "$gid" "$XAUTHORITY" "$desktop/home/.Xauthority"
    XAUTHORITY=$desktop/home/.Xauthority
fi

echo
echo "Corrivo 2 against the demo cloud $CORRIVO_CLOUD_URL, as the user $user (uid $uid)"
echo "  helper:        corrivo2-helper on $desktop/helper/helper.sock for the group $group"
echo "  serial ports:  $runtime/corrivo2/serial"
echo "  sign in with:  $DEMO_USERNAME / $DEMO_PASSWORD   (or $DEMO_USERNAME2 / $DEMO_PASSWORD2)"
echo "  devices:       \"$DEMO_DEVICE_NAME\" at http://$DEMO_DEVICE_IP once the tunnel is up"
echo "  Ctrl-C ends the application and removes the demo world"
echo

# A session of its own: Ctrl-C in the terminal reaches this script only, which then
# ends the application and everything it started.
as_user setsid "$desktop/bin/corrivo2" "$@" </dev/null &
app_pid=$!
set +e
wait "$app_pid"
status=$?
set -e
# Ended by itself (window closed): its exit status is ours.
exit "$status"
