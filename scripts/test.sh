#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding fails the run).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

echo "== normal build"
run_suite build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite build-asan -DQUORVA_SANITIZE=ON -DQUORVA_BENCH=OFF

if [ -x scripts/fuzz-smoke.sh ]; then
    echo "== fuzz targets, short runs"
    scripts/fuzz-smoke.sh
fi
