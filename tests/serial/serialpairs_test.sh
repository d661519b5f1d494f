#!/usr/bin/env bash
# remove_marked_pairs (tools/lab/serialpairs.sh) takes the pairs one run made and leaves
# the others of the same directory: one made without a marker, one of another run.
#
#   serialpairs_test.sh SETUPC
set -uo pipefail

setupc=$1
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../tools/lab/serialpairs.sh
source "$top/tools/lab/serialpairs.sh"

CORRIVO_SERIAL_DIR=$(mktemp -d)
export CORRIVO_SERIAL_DIR
cleanup() {
    local number
    for number in 0 1 2 3; do
        "$setupc" remove "$number" >/dev/null 2>&1
    done
    rm -rf "$CORRIVO_SERIAL_DIR"
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

remove_marked_pairs CORRIVO_TEST_RUN=this "$setupc" || fail "remove_marked_pairs failed"
[[ $(names) == "COM2 COM3 " ]] || fail "left after removing this run's pairs: $(names)"
# A marker is matched whole, not as a prefix.
remove_marked_pairs CORRIVO_TEST_RUN=othe "$setupc" || fail "remove_marked_pairs failed"
[[ $(names) == "COM2 COM3 " ]] || fail "left after a marker that is a prefix: $(names)"
[[ -e $CORRIVO_SERIAL_DIR/COM2 && -e $CORRIVO_SERIAL_DIR/COM3 && ! -e $CORRIVO_SERIAL_DIR/COM1 ]] \
    || fail "links do not match the pairs"
echo "PASS: serialpairs"
