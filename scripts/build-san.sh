#!/usr/bin/env bash
# Configures and builds the sanitized build into build-san/ (or $CORRIVO_BUILD_DIR-san):
# clang with AddressSanitizer and UndefinedBehaviorSanitizer, libFuzzer's coverage and
# the fuzz targets. Builds the given targets, by default what the test command runs
# there ("cxx_tests": the C++ tests with the tools they start, and the fuzz targets).
# Warnings are not errors here: the gcc build of scripts/build.sh holds that line, and
# clang's own warnings should not stop the sanitizers from running.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}-san

targets=("$@")
((${#targets[@]})) || targets=(cxx_tests)

# Debug keeps Qt's inline assertions, which catch misuse such as an index past the end;
# the sanitizer flags add -O1.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DCORRIVO_FUZZ=ON -DCORRIVO_SANITIZE=ON -DCORRIVO_WERROR=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"
