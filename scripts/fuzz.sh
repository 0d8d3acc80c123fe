#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number
# of seconds (default 60), two at a time, from the seed corpus in fuzz/corpus.
# Prints executions, corpus size and crashes for each target.
#   bash scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
. scripts/deps.sh
pelvoran_packages+=(clang libclang-rt-dev)
pelvoran_install_deps
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELVORAN_FUZZ=ON -DPELVORAN_BUILD_TESTS=OFF -DPELVORAN_BUILD_BENCH=OFF
cmake --build build-fuzz -j2

targets=(decode urlencoding query update_reply cli_reader comment_body admin_site)
work=build-fuzz/runs
mkdir -p "$work"
run() {
    local t=$1
    rm -rf "$work/$t" && mkdir -p "$work/$t/corpus" "$work/$t/crashes"
    cp fuzz/corpus/$t/* "$work/$t/corpus/"
    build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -rss_limit_mb=1024 -artifact_prefix="$work/$t/crashes/" -print_final_stats=1 \
        "$work/$t/corpus" > "$work/$t/log" 2>&1 || true
}
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    run "${targets[i]}" &
    [ $((i + 1)) -lt ${#targets[@]} ] && run "${targets[i + 1]}" &
    wait
done
printf '%-14s %14s %8s %8s\n' target executions corpus crashes
status=0
for t in "${targets[@]}"; do
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$t/log" | grep -o '[0-9]*$' || echo '?')
    corpus=$(ls "$work/$t/corpus" | wc -l)
    crashes=$(ls "$work/$t/crashes" | wc -l)
    [ "$crashes" -eq 0 ] || status=1
    printf '%-14s %14s %8s %8s\n' "$t" "$execs" "$corpus" "$crashes"
done
exit $status
