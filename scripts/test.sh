#!/usr/bin/env bash
# The one test command: installs what is missing, builds, and runs every test under a
# virtual display. Ends with CTest's summary; exits non-zero on any failure.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}

"$top/scripts/setup.sh"
"$top/scripts/build.sh"

cd "$build"
exec xvfb-run -a -s "-screen 0 1600x1200x24" \
    ctest --output-on-failure --parallel "$(nproc)" "$@"
