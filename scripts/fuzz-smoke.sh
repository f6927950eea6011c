#!/usr/bin/env bash
# Runs each libFuzzer target briefly (FUZZ_SECONDS, default 10), seeded with the kept
# regression inputs, as many at once as there are cores. The targets come from the build
# folder named as the argument (one configured with clang and -DQUORVA_FUZZ=ON, as
# scripts/test.sh makes build-asan); without it, they are built with clang in build-fuzz.
# Longer runs: FUZZ_SECONDS=600 scripts/fuzz-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-10}
dir=${1:-}
if [ -z "$dir" ]; then
    if ! command -v clang++ >/dev/null; then
        echo "clang++ not found: fuzz smoke runs skipped"
        exit 0
    fi
    dir=build-fuzz
    CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVA_FUZZ=ON -DQUORVA_TESTS=OFF -DQUORVA_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# One target's run: its result line, and the end of its log when it failed.
fuzz_one() {
    local target=$1 name work seeds
    name=$(basename "$target")
    work=$(mktemp -d)
    seeds=fuzz/regressions/$name
    mkdir -p "$seeds"
    if "$target" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=25 -close_fd_mask=3 \
        -artifact_prefix="$work/" "$work" "$seeds" >"$work/log" 2>&1; then
        echo "$name: $(grep -o 'Done [0-9]* runs' "$work/log" | tail -n 1) ok"
        rm -rf "$work"
        return 0
    fi
    echo "$name: FAILED"
    tail -n 40 "$work/log"
    rm -rf "$work"
    return 1
}

targets=()
for target in "$dir"/fuzz/fuzz_*; do
    [ -x "$target" ] && targets+=("$target")
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $dir/fuzz (configure it with clang and -DQUORVA_FUZZ=ON)"
    exit 1
fi
results=$(mktemp -d)
failed=0
for ((i = 0; i < ${#targets[@]}; i += $(nproc))); do
    pids=()
    for target in "${targets[@]:i:$(nproc)}"; do
        fuzz_one "$target" >"$results/$(basename "$target")" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
done
for target in "${targets[@]}"; do
    cat "$results/$(basename "$target")"
done
rm -rf "$results"
exit $failed
