#!/usr/bin/env bash
# Installs what is missing, builds, and starts Corrivo 2 as root. Without a display
# the window opens on a virtual one (Xvfb).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}

if [[ $(id -u) -ne 0 ]]; then
    echo "run: Corrivo 2 configures tunnels and serial ports and runs as root: sudo $0" >&2
    exit 1
fi

"$top/scripts/setup.sh"
"$top/scripts/build.sh"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "run: no display; starting on a virtual one (xvfb-run). Screenshot: DISPLAY=:99 xwd -root"
    exec xvfb-run -n 99 -s "-screen 0 1280x900x24" "$build/bin/corrivo2" "$@"
fi
exec "$build/bin/corrivo2" "$@"
