#!/usr/bin/env bash
# Configures and builds into build/ (or $CORRIVO_BUILD_DIR).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}

cmake -S "$top" -B "$build" -DCORRIVO_WERROR=ON "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
