#!/usr/bin/env bash
# The one test command: installs what is missing, builds, then runs the tests twice
# over: first the sanitized build (build-san/, or $CORRIVO_BUILD_DIR-san: the C++ tests
# and a short run of every fuzz target, under AddressSanitizer and
# UndefinedBehaviorSanitizer), then every test of the normal build, both under a
# virtual display. Extra arguments go to both CTest runs. The last line sums both runs:
# "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}
san=$build-san

"$top/scripts/setup.sh" || exit 1
"$top/scripts/build.sh" || exit 1
"$top/scripts/build-san.sh" || exit 1

passed=0
failed=0
status=0

# No session bus unless a test makes its own (the desktop tests do, and pass it on):
# with none at all, a desktop library may start one through X11 autolaunch, which
# would outlive the test.
export DBUS_SESSION_BUS_ADDRESS=disabled:

# Runs CTest in a build directory and adds its counts, taken from CTest's own
# "NN% tests passed, F tests failed out of T" line, to the sums.
run_ctest() {
    local dir=$1
    shift
    local log
    log=$(mktemp)
    (cd "$dir" && xvfb-run -a -s "-screen 0 1600x1200x24" \
        ctest --output-on-failure --parallel "$(nproc)" "$@") 2>&1 | tee "$log"
    local result=${PIPESTATUS[0]}
    local line skipped
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    # A test CTest did not run (skipped, disabled) checked nothing: it counts
    # as failed. (Skips inside a test already fail it: see tests/CMakeLists.txt, run.js.)
    skipped=$(grep -cE '^ *[0-9]+ - .*\((Skipped|Disabled)\)$' "$log")
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=$((failed + BASH_REMATCH[1] + skipped))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1] - skipped))
    fi
    if ((skipped > 0)); then
        echo "test: $skipped test(s) did not run; see \"The following tests did not run\" above" >&2
        status=1
    fi
    ((result == 0)) || status=1
}

# The sanitized build runs its C++ tests and fuzz targets, not the UI, end-to-end and
# packaging tests (the application itself is not built there).
echo "test: sanitized build ($san)"
run_ctest "$san" -LE '^(ui|e2e|packaging)$' "$@"
echo "test: normal build ($build)"
run_ctest "$build" "$@"

echo "$passed passed, $failed failed"
exit "$status"
