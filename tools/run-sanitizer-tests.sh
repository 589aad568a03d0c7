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
# The system tests run their client as an unprivileged user, which must be able to report too.
chmod 1777 "$reports"
# ASan and LSan reports go to files, so that a report of a started program whose output a
# test swallows still fails the run. UBSan writes to standard error only: it aborts the
# program, which no test takes for an expected outcome, and the test output is searched too.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$top/tools/sanitizer-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
export QT_QPA_PLATFORM=offscreen

status=0
output="$build/sanitizer-test-output.txt"
(cd "$build" && ctest --output-on-failure --verbose --timeout 900 -j"$jobs" --label-exclude "packaging|benchmark" "$@") >"$output" 2>&1 ||
    status=$?
grep -E "^[0-9]+/[0-9]+ Test|tests passed|tests failed" "$output" || true
if grep -q -E "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)" "$output"; then
    grep -n -E -A30 "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)" "$output"
    echo "sanitizer reports in the test output ($output)" >&2
    status=1
fi
finished=$(date +%s)

if ls "$reports"/* >/dev/null 2>&1; then
    for report in "$reports"/*; do
        echo "=== $report"
        cat "$report"
    done
    echo "sanitizer reports found in $reports" >&2
    status=1
fi
echo "sanitizer build: $((built - started)) s, test suite: $((finished - built)) s"
exit "$status"
