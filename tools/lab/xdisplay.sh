# shellcheck shell=bash
# Sourced by scripts that need a virtual display for an application run as a desktop
# user (scripts/run.sh). Run as root.
#
#   start_virtual_display DIR UID GID
#
# Starts Xvfb on the first free display from :99 that takes only clients with its
# cookie, a fresh MIT-MAGIC-COOKIE-1: root's copy, for the server and for screenshots,
# is DIR/x11/xauthority (0600, in a directory of root's, 0700); the desktop user's own
# copy is DIR/display/xauthority (0600, owned by UID:GID, in a directory of root's the
# user cannot write). Sets display (the number), xvfb_pid, xauthority_root and
# xauthority_user; returns non-zero when Xvfb did not start. Without the cookie any
# local user could read the screen and type into the window.
start_virtual_display() {
    local dir=$1 uid=$2 gid=$3 _
    [[ -d $dir && $uid =~ ^[0-9]+$ && $gid =~ ^[0-9]+$ ]] || return 2
    display=99
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
        display=$((display + 1))
    done
    install -d -m 700 -o root -g root "$dir/x11"
    install -d -m 711 -o root -g root "$dir/display"
    xauthority_root=$dir/x11/xauthority
    xauthority_user=$dir/display/xauthority
    (umask 077 && xauth -q -f "$xauthority_root" add ":$display" MIT-MAGIC-COOKIE-1 \
        "$(od -An -vtx1 -N16 /dev/urandom | tr -d ' \n')") || return 1
    install -m 600 -o "$uid" -g "$gid" "$xauthority_root" "$xauthority_user" || return 1
    setsid Xvfb ":$display" -auth "$xauthority_root" -screen 0 1280x900x24 -nolisten tcp \
        >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        [[ -e /tmp/.X11-unix/X$display ]] && return 0
        kill -0 "$xvfb_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
