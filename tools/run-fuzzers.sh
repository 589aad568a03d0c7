#!/bin/sh
# Explores with the three fuzz targets at random for longer than a test run does (the tests
# use a fixed seed and a few seconds each). Runs the targets one after the other, each for
# SECONDS seconds (default 600), from a copy of the corpus kept beside it; new inputs and any
# finding land in $BUILD_DIR/fuzz-runs/<target>/. Add new corpus entries worth keeping to the
# source tree by hand.
#
#   tools/run-fuzzers.sh [seconds]
#
# BUILD_DIR names a configured and built tree (default build/ at the top of the tree).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$top/build}"
seconds="${1:-600}"
runs="$build/fuzz-runs"

run_target() {
    name=$1 binary=$2 seeds=$3
    if [ ! -x "$binary" ]; then
        echo "$name: $binary is not built (clang++ missing?)" >&2
        return 1
    fi
    mkdir -p "$runs/$name/corpus"
    echo "$name: fuzzing for $seconds s"
    QT_QPA_PLATFORM=offscreen "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$runs/$name/" "$runs/$name/corpus" "$seeds" \
        >"$runs/$name/log.txt" 2>&1 || {
        echo "$name: finding, see $runs/$name/log.txt" >&2
        return 1
    }
    grep -E '^stat::number_of_executed_units' "$runs/$name/log.txt" || true
}

status=0
run_target settingsparser "$build/autotests/settings/settingsparserfuzzer" \
    "$top/autotests/settings/fuzz/corpus" || status=1
run_target bsignreport "$build/autotests/filetree/fuzz/bsignreportfuzzer" \
    "$top/autotests/filetree/fuzz/corpus" || status=1
run_target agentconfiguration "$build/autotests/keywright/fuzz/agentconfigurationfuzzer" \
    "$top/autotests/keywright/fuzz/corpus" || status=1
exit $status
