#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding fails the run). With clang,
# the sanitizer build is a clang build that also holds the libFuzzer targets, which then
# run briefly (scripts/fuzz-smoke.sh); without clang it is a g++ build and the fuzz runs
# are skipped. The sanitizer build compiles while the normal tests run, at the lowest
# priority: those tests mostly wait on the server, so the compiler takes what they leave.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Most tests wait on the server, on timers or on child processes rather than compute, so
# CTest runs twice as many at once as there are cores.
test_jobs=$((jobs * 2))

configure() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
}
run_tests() {
    (cd "$1" && ctest --output-on-failure -j"$test_jobs" --timeout 600)
}

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The sanitizer build: line tables are enough for the reports' stack traces, and -O1 is
# what the sanitizers are meant for.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O1 -gline-tables-only -DNDEBUG"
                 -DQUORVA_SANITIZE=ON -DQUORVA_BENCH=OFF)
if command -v clang++ >/dev/null; then
    fuzz=yes
    sanitizer_flags+=(-DQUORVA_FUZZ=ON)
    export CC=clang CXX=clang++
else
    fuzz=no
    sanitizer_flags=(-DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O1 -g -DNDEBUG" -DQUORVA_SANITIZE=ON
                     -DQUORVA_BENCH=OFF)
fi

echo "== normal build"
(unset CC CXX; configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build -j"$jobs")

echo "== normal tests (the sanitizer build compiles meanwhile)"
sanitizer_log=$(mktemp)
(configure build-asan "${sanitizer_flags[@]}" && nice -n 19 cmake --build build-asan -j"$jobs") \
    >"$sanitizer_log" 2>&1 &
sanitizer_build=$!
status=0
run_tests build || status=$?
if ! wait "$sanitizer_build"; then
    cat "$sanitizer_log"
    rm -f "$sanitizer_log"
    echo "the sanitizer build failed" >&2
    exit 1
fi
rm -f "$sanitizer_log"
[ "$status" = 0 ] || exit "$status"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer tests"
# The soak test tosses a third of its messages here: what the sanitizers look for shows at
# any volume, and under them the tosser and the server run several times slower (the
# normal build's soak tosses them all).
HPT_SOAK_MESSAGES=${HPT_SOAK_MESSAGES:-10000} run_tests build-asan
if [ "$fuzz" = yes ] && [ -x scripts/fuzz-smoke.sh ]; then
    echo "== fuzz targets, short runs"
    FUZZ_SECONDS=${FUZZ_SECONDS:-5} scripts/fuzz-smoke.sh build-asan
else
    echo "clang++ not found: fuzz smoke runs skipped"
fi
