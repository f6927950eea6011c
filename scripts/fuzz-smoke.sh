#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one briefly (FUZZ_SECONDS, default
# 10), seeded with the kept regression inputs. Longer runs: FUZZ_SECONDS=600 scripts/fuzz-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-10}
if ! command -v clang++ >/dev/null; then
    echo "clang++ not found: fuzz smoke runs skipped"
    exit 0
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVA_FUZZ=ON -DQUORVA_TESTS=OFF -DQUORVA_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work=$(mktemp -d)
    seeds=fuzz/regressions/$name
    mkdir -p "$seeds"
    if "$target" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=25 -close_fd_mask=3 \
        -artifact_prefix="$work/" "$work" "$seeds" >"$work/log" 2>&1; then
        echo "$name: $(grep -o 'Done [0-9]* runs' "$work/log" | tail -n 1) ok"
    else
        echo "$name: FAILED"
        tail -n 40 "$work/log"
        failed=1
    fi
    rm -rf "$work"
done
exit $failed
