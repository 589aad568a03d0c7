#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (ECM's
# ECM_ENABLE_SANITIZERS) and runs the whole test suite under them. Passes only when every
# test passes and no sanitizer reported anything, leaks included, in the tests or in the
# programs they start.
#
#   tools/run-sanitizer-tests.sh [ctest arguments]
#
# BUILD_DIR sets the build folder (default build-asan/ at the top of the tree), JOBS the
# parallel jobs (default 2). The packaging test, which builds unsanitized packages, is left
# out. Reports land in $BUILD_DIR/sanitizer-reports/. Leaks inside
# third-party libraries are suppressed by tools/sanitizer-suppressions.txt.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$top/build-asan}"
jobs="${JOBS:-2}"

"$top/tools/install-deps.sh"
started=$(date +%s)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON \
    -DECM_ENABLE_SANITIZERS='address;undefined'
cmake --build "$build" -j"$jobs"
built=$(date +%s)

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# Reports go to files as well as to the tests' output, so that a report of a started program
# whose output a test swallows still fails the run.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$top/tools/sanitizer-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export QT_QPA_PLATFORM=offscreen

status=0
(cd "$build" && ctest --output-on-failure --timeout 900 -j"$jobs" --label-exclude packaging "$@") || status=$?
finished=$(date +%s)

if ls "$reports"/* >/dev/null 2>&1; then
    for report in "$reports"/*; do
        echo "=== $report"
        cat "$report"
    done
    echo "sanitizer reports found" >&2
    status=1
fi
echo "sanitizer build: $((built - started)) s, test suite: $((finished - built)) s"
exit "$status"
