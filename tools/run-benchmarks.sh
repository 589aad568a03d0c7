#!/bin/sh
# Builds the project with optimisation and the benchmarks, and runs every benchmark (ctest
# label "benchmark"). Each prints its figures; none fails for a missed goal.
#
#   tools/run-benchmarks.sh [ctest arguments]
#
# BUILD_DIR sets the build folder (default build-benchmarks/ at the top of the tree).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$top/build-benchmarks}"

"$top/tools/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Each benchmark sets its own platform: the opening benchmark needs its Xvfb display.
ctest --verbose --label-regex benchmark "$@"
