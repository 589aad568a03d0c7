#!/bin/sh
# Builds the project and runs the whole test suite.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$top/build}"

"$top/tools/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j"$(nproc)" "$@"
