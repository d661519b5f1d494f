#!/usr/bin/env bash
# Holds the demo world of one end-to-end test: brings it up (its settings in
# OUTDIR/demo.env), prints "GUARD READY", and takes it down, with the serial port pairs
# the test's application left, when the last writer of the FIFO closes it. The
# test holds the FIFO's only writing end and starts the guard outside its own process
# tree, so that the world goes away even when the test itself is killed.
#
#   guard.sh NAME BINDIR OUTDIR FIFO      (CORRIVO_SERIAL_DIR: the test's serial directory)
#
# CORRIVO_E2E_PAIRS_OF names the test's run (the value of CORRIVO_E2E_RUN it gives the
# application): only pairs whose holder carries that marker are removed. It has a name
# of its own so that the demo world's processes do not pass for the application's.
#
# With CORRIVO_E2E_USER and CORRIVO_E2E_GROUP it also makes the desktop user the
# application runs as: a system group (the helper's) and a system user in it; at the end
# every process of that user is killed, the user and the group are removed, and so is
# CORRIVO_E2E_DESKTOP (the directory the test prepared for that user).
set -uo pipefail

name=$1
bindir=$2
outdir=$3
fifo=$4
lab=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools/lab" && pwd)
# shellcheck source=../../tools/lab/serialpairs.sh
source "$lab/serialpairs.sh"

# The test ends the guard by closing the FIFO; a terminal's Ctrl-C has no say.
trap '' INT HUP
# Opened at once, while the test holds the writing end: a test that is gone before this
# line would otherwise leave the guard waiting for a writer forever.
exec 3<"$fifo"

user=${CORRIVO_E2E_USER:-}
group=${CORRIVO_E2E_GROUP:-}
desktop=${CORRIVO_E2E_DESKTOP:-}

made_accounts=0

accounts_up() {
    [[ -n $user ]] || return 0
    "$lab/accounts.sh" add "$group" "$user" >&2 || return 1
    made_accounts=1
}

# Only accounts this guard made: a name that was taken stays someone else's.
accounts_down() {
    ((made_accounts)) && "$lab/accounts.sh" remove "$group" "$user" >&2
    if [[ -n $desktop && -d $desktop ]]; then
        rm -rf --one-file-system "$desktop"
    fi
}

as_desktop_user() {
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
        env -i PATH=/usr/bin:/bin CORRIVO_SERIAL_DIR="$CORRIVO_SERIAL_DIR" "$@"
}

teardown() {
    if [[ -n ${CORRIVO_SERIAL_DIR:-} && -n ${CORRIVO_E2E_PAIRS_OF:-} ]]; then
        local marker="CORRIVO_E2E_RUN=$CORRIVO_E2E_PAIRS_OF" owner
        if [[ -n $user ]]; then
            # The pairs are the desktop user's, in that user's directory: removed as that
            # user, so that root follows nothing planted there.
            owner=$(id -u "$user" 2>/dev/null) &&
                remove_marked_pairs "$marker" "$owner" as_desktop_user "$desktop/bin/setupc"
        else
            remove_marked_pairs "$marker" "$(id -u)" "$bindir/setupc"
        fi
    fi
    "$lab/demo.sh" -n "$name" down >&2 || true
    accounts_down
}

if ! "$lab/demo.sh" -n "$name" -b "$bindir" -o "$outdir" up >&2; then
    echo "GUARD FAILED"
    exit 1
fi
if ! accounts_up; then
    teardown
    echo "GUARD FAILED"
    exit 1
fi
echo "GUARD READY"
while read -r _ <&3; do :; done
teardown
echo "GUARD DONE"
