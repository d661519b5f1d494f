#!/usr/bin/env bash
# remove_marked_pairs (tools/lab/serialpairs.sh) takes the pairs one run made and leaves
# the others of the same directory: one made without a marker, one of another run, and
# one named by another user's holder that carries the same marker.
#
#   serialpairs_test.sh SETUPC
set -uo pipefail

setupc=$1
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../tools/lab/serialpairs.sh
source "$top/tools/lab/serialpairs.sh"

if [[ $(id -u) -ne 0 ]]; then
    echo "FAIL: run as root: the test starts a holder as another user (nobody)"
    exit 1
fi

CORRIVO_SERIAL_DIR=$(mktemp -d)
export CORRIVO_SERIAL_DIR
# Another local user's pair, in a directory of its own, from a copy of setupc it can run.
foreign=$(mktemp -d)
chmod 755 "$foreign"
install -m 755 "$setupc" "$foreign/setupc"
install -d -o nobody -m 700 "$foreign/serial"
as_nobody() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -i CORRIVO_SERIAL_DIR="$foreign/serial" "$@"
}
cleanup() {
    local number
    for number in 0 1 2 3; do
        "$setupc" remove "$number" >/dev/null 2>&1
    done
    as_nobody "$foreign/setupc" remove 0 >/dev/null 2>&1
    rm -rf "$CORRIVO_SERIAL_DIR" "$foreign"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    "$setupc" list
    exit 1
}

names() {
    "$setupc" list | sed -n 's/^ *CNCA[0-9]* PortName=//p' | sort | tr '\n' ' '
}

CORRIVO_TEST_RUN=this "$setupc" install PortName=COM1 PortName=CNCB1 >/dev/null || fail "install COM1"
"$setupc" install PortName=COM2 PortName=CNCB2 >/dev/null || fail "install COM2"
CORRIVO_TEST_RUN=other "$setupc" install PortName=COM3 PortName=CNCB3 >/dev/null || fail "install COM3"
CORRIVO_TEST_RUN=this "$setupc" install PortName=COM4 PortName=CNCB4 >/dev/null || fail "install COM4"
[[ $(names) == "COM1 COM2 COM3 COM4 " ]] || fail "pairs not made: $(names)"

# Another user's holder that carries this run's marker and names COM2, as a hostile
# local user could start one.
as_nobody CORRIVO_TEST_RUN=this "$foreign/setupc" install PortName=COM2 PortName=X >/dev/null \
    || fail "install the other user's pair"

remove_marked_pairs CORRIVO_TEST_RUN=this "$(id -u)" "$setupc" || fail "remove_marked_pairs failed"
[[ $(names) == "COM2 COM3 " ]] || fail "left after removing this run's pairs: $(names)"
# A marker is matched whole, not as a prefix.
remove_marked_pairs CORRIVO_TEST_RUN=othe "$(id -u)" "$setupc" || fail "remove_marked_pairs failed"
[[ $(names) == "COM2 COM3 " ]] || fail "left after a marker that is a prefix: $(names)"
[[ -e $CORRIVO_SERIAL_DIR/COM2 && -e $CORRIVO_SERIAL_DIR/COM3 && ! -e $CORRIVO_SERIAL_DIR/COM1 ]] \
    || fail "links do not match the pairs"
echo "PASS: serialpairs"
