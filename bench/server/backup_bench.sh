#!/usr/bin/env bash
# pelvoran-server backup beside sqlite3's ".backup" on the same database in the
# same run, alternated (A, B, A, B, ...), medians reported: wall time and peak
# memory (maximum resident set) for a 50 MB and a 500 MB database, idle and
# while one client posts comments as fast as it can (wrk -t1 -c1).
#
#   bench/server/backup_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS (default 3) is the number of A/B pairs. PELVORAN_SERVER names a
# pelvoran-server binary to measure instead of the build's; PELVORAN_BENCH_SIZES
# the sizes in MB (default "50 500"). A backup still running after 60 s is
# ended and reported as such. Needs wrk, sqlite3 and GNU time:
#   apt-get install -y --no-install-recommends wrk sqlite3 time
# All traffic stays on 127.0.0.1; every process started here is ended on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-3}
sizes=${PELVORAN_BENCH_SIZES:-50 500}
here=$PWD/bench/server
limit=60

for tool in wrk sqlite3 /usr/bin/time; do
    if ! command -v "$tool" >/dev/null; then
        echo "backup_bench: $tool is missing (apt-get install -y --no-install-recommends wrk sqlite3 time)" >&2
        exit 1
    fi
done
if [ -z "${PELVORAN_SERVER:-}" ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" -j2 --target pelvoran-server >/dev/null
fi
server_bin=$(realpath "${PELVORAN_SERVER:-$build/server/pelvoran-server}")

. bench/server/common.sh
bench_workdir pelvoran-bbench

# Runs a backup command under GNU time; prints "SECONDS KIB", or "timeout".
measure() {
    local out=$work/time.out
    # timeout waits for the command: its peak is the command's.
    if /usr/bin/time -f '%e %M' -o "$out" timeout "$limit" "$@" >/dev/null 2>"$work/err"; then
        cat "$out"
    else
        echo timeout
    fi
}

echo "backup benchmark: $rounds rounds, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-6s %-22s %10s %10s %10s\n' size load what seconds peak_MB ratio
for size in $sizes; do
    state=$work/state-$size
    mkdir -p "$state"
    bench_start_server "$state"
    bench_stop "$server_pid" || true
    # 500-byte comments, in one transaction: about 1,800 a MB.
    sqlite3 "$state/comments.sqlite" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1
        FROM n WHERE i < $((size * 1800))) INSERT INTO comments (received, text, raw, source)
        SELECT 1700000000 + i, printf('%0500d', i), x'', 'web' FROM n;"
    bench_start_server "$state"
    idle_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status")
    for load in idle busy; do
        wrk_pid=
        if [ "$load" = busy ]; then
            timeout 3600 wrk -t1 -c1 -d3600s -s "$here/comment.lua" \
                "http://127.0.0.1:$server_port/Canon/comment.asp" >/dev/null 2>&1 &
            wrk_pid=$!
            pids+=("$wrk_pid")
            sleep 1
        fi
        ours_s=() ours_m=() theirs_s=() theirs_m=() ours_to=0 theirs_to=0
        for r in $(seq "$rounds"); do
            for who in ours theirs; do
                rm -f "$work/copy.sqlite" "$work/copy.sqlite-journal"
                if [ "$who" = ours ]; then
                    m=$(measure "$server_bin" backup "$work/copy.sqlite" --state "$state")
                else
                    m=$(measure sqlite3 "$state/comments.sqlite" ".backup '$work/copy.sqlite'")
                fi
                if [ "$m" = timeout ]; then
                    eval "${who}_to=\$((${who}_to + 1))"
                    continue
                fi
                read -r s k <<<"$m"
                eval "${who}_s+=($s) ${who}_m+=($((k / 1024)))"
            done
        done
        [ -z "$wrk_pid" ] || bench_stop "$wrk_pid" || true
        os=$(median "${ours_s[@]}")
        ts=$(median "${theirs_s[@]}")
        printf '%-8s %-6s %-22s %10s %10s %10s\n' "${size}MB" "$load" "pelvoran-server backup" \
            "$os" "$(median "${ours_m[@]}")" "$(ratio "$os" "$ts")"
        printf '%-8s %-6s %-22s %10s %10s %10s\n' "${size}MB" "$load" "sqlite3 .backup" \
            "$ts" "$(median "${theirs_m[@]}")" 1.00
        [ "$ours_to" = 0 ] || echo "  pelvoran-server backup: $ours_to of $rounds runs over ${limit}s"
        [ "$theirs_to" = 0 ] || echo "  sqlite3 .backup: $theirs_to of $rounds runs over ${limit}s"
    done
    echo "  the server's own memory, idle: $((idle_kib / 1024)) MB"
    bench_stop "$server_pid" || true
    rm -rf "$state"
done
