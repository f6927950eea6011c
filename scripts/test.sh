#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding fails the run). With clang,
# the sanitizer build is a clang build that also holds the libFuzzer targets, which then
# run briefly (scripts/fuzz-smoke.sh); without clang it is a g++ build and the fuzz runs
# are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Most tests wait on the server, on timers or on child processes rather than compute, so
# CTest runs twice as many at once as there are cores.
test_jobs=$((jobs * 2))

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$test_jobs" --timeout 600)
}

echo "== normal build"
run_suite build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
if command -v clang++ >/dev/null; then
    CC=clang CXX=clang++ run_suite build-asan -DQUORVA_SANITIZE=ON -DQUORVA_FUZZ=ON -DQUORVA_BENCH=OFF
    if [ -x scripts/fuzz-smoke.sh ]; then
        echo "== fuzz targets, short runs"
        FUZZ_SECONDS=${FUZZ_SECONDS:-5} scripts/fuzz-smoke.sh build-asan
    fi
else
    run_suite build-asan -DQUORVA_SANITIZE=ON -DQUORVA_BENCH=OFF
    echo "clang++ not found: fuzz smoke runs skipped"
fi
