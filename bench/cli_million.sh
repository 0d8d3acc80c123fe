#!/usr/bin/env bash
# Decodes 1,000,000 codes from a file with pelvoran-decode and reports the
# time and the peak memory, next to the same for 100,000 codes (memory should
# not grow with the input). Usage: bench/cli_million.sh [build-dir]
set -euo pipefail
build=${1:-build}
exe="$build/cli/pelvoran-decode"
[ -x "$exe" ] || { echo "build first: $exe not found" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

codes=(UE0945 ue0945 " FX1234 " 6831234567 00123456 AB123456 UE945 123456789 "" UEX945 6012345678 "ＵＥ０９４５")
for n in 100000 1000000; do
    awk -v n="$n" -v list="$(printf '%s\t' "${codes[@]}")" \
        'BEGIN { k = split(list, c, "\t") - 1; for (i = 0; i < n; i++) print c[i % k + 1] }' \
        > "$dir/codes-$n.txt"
done

measure() {
    local file=$1
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f "%e s  %M KiB peak RSS" "$exe" --raw < "$file" > /dev/null
    else
        local start end
        start=$(date +%s.%N)
        "$exe" --raw < "$file" > /dev/null
        end=$(date +%s.%N)
        echo "$(echo "$end - $start" | bc) s (install 'time' for the peak RSS)"
    fi
}
for n in 100000 1000000; do
    printf '%8d codes: ' "$n"
    measure "$dir/codes-$n.txt" 2>&1
done
