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
# ended and reported as such. It stops with an error, and reports nothing,
# when a backup fails, a copy lacks a comment of the database, or a comment
# of the load is not answered 200 (comment.lua's count, wrk's non-2xx count
# and socket errors). Needs wrk, sqlite3 and GNU time:
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

# Runs a backup command under GNU time; prints "SECONDS KIB", "timeout", or
# "failed" (what it said is in $work/err).
measure() {
    local out=$work/time.out status=0
    # timeout waits for the command: its peak is the command's.
    /usr/bin/time -f '%e %M' -o "$out" timeout "$limit" "$@" >/dev/null 2>"$work/err" || status=$?
    if [ "$status" = 0 ]; then
        cat "$out"
    elif [ "$status" = 124 ]; then
        echo timeout
    else
        echo failed
    fi
}

# The copy holds every comment the database was made with (the load's come on top).
check_copy() {
    local rows
    rows=$(sqlite3 "$work/copy.sqlite" "SELECT count(*) FROM comments" 2>&1) || rows="none ($rows)"
    [ "$rows" -ge "$1" ] 2>/dev/null || bench_fail "$2 copied $rows comments of $1"
}

# The load: one client posting comments as fast as it can, until SIGINT, on
# which wrk stops and prints its figures.
start_load() {
    load_out=$work/load.$1
    timeout 3600 wrk -t1 -c1 -d3600s -s "$here/comment.lua" \
        "http://127.0.0.1:$server_port/Canon/comment.asp" >"$load_out" 2>&1 &
    load_pid=$!
    pids+=("$load_pid")
    # Under way once the first comments are stored.
    for _ in $(seq 100); do
        [ "$(sqlite3 "$state/comments.sqlite" "SELECT count(*) > $seeded FROM comments" 2>/dev/null)" = 1 ] &&
            return 0
        sleep 0.1
    done
    bench_fail "the comment load stored nothing in 10 s: $(head -c 300 "$load_out")"
}

stop_load() {
    local kept=() pid
    kill -0 "$load_pid" 2>/dev/null || bench_fail "the comment load ended early: $(head -c 300 "$load_out")"
    kill -INT "$load_pid"
    for _ in $(seq 100); do kill -0 "$load_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$load_pid" 2>/dev/null || true
    wait "$load_pid" 2>/dev/null || true
    for pid in "${pids[@]}"; do [ "$pid" = "$load_pid" ] || kept+=("$pid"); done
    pids=("${kept[@]}")
    bench_comments_clean "$load_out" "the comment load beside the ${size} MB backups"
    load_note="  the load: $(awk '$1 == "comment_200" { print $2 }' "$load_out") comments answered 200,"
    load_note+=" $(awk '$1 == "comment_200_per_s" { print $2 }' "$load_out") a second"
}

echo "backup benchmark: $rounds rounds, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-6s %-22s %10s %10s %10s\n' size load what seconds peak_MB ratio
bench_per_client 1 1
for size in $sizes; do
    state=$work/state-$size
    mkdir -p "$state"
    bench_start_server "$state"
    bench_stop "$server_pid" || true
    # 500-byte comments, in one transaction: about 1,800 a MB.
    seeded=$((size * 1800))
    sqlite3 "$state/comments.sqlite" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1
        FROM n WHERE i < $seeded) INSERT INTO comments (received, text, raw, source)
        SELECT 1700000000 + i, printf('%0500d', i), x'', 'web' FROM n;"
    bench_start_server "$state"
    idle_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status")
    for load in idle busy; do
        [ "$load" = idle ] || start_load "$size"
        ours_s=() ours_m=() theirs_s=() theirs_m=() ours_to=0 theirs_to=0
        for r in $(seq "$rounds"); do
            for who in ours theirs; do
                rm -f "$work/copy.sqlite" "$work/copy.sqlite-journal"
                if [ "$who" = ours ]; then
                    what="pelvoran-server backup"
                    m=$(measure "$server_bin" backup "$work/copy.sqlite" --state "$state")
                else
                    what="sqlite3 .backup"
                    m=$(measure sqlite3 "$state/comments.sqlite" ".backup '$work/copy.sqlite'")
                fi
                if [ "$m" = timeout ]; then
                    eval "${who}_to=\$((${who}_to + 1))"
                    continue
                fi
                [ "$m" != failed ] || bench_fail "$what of ${size} MB failed: $(head -c 300 "$work/err")"
                check_copy "$seeded" "$what of ${size} MB"
                read -r s k <<<"$m"
                eval "${who}_s+=($s) ${who}_m+=($((k / 1024)))"
            done
        done
        [ "$load" = idle ] || stop_load
        # "-" for one that never finished in time.
        os=- ts=-
        [ ${#ours_s[@]} = 0 ] || os=$(median "${ours_s[@]}")
        [ ${#theirs_s[@]} = 0 ] || ts=$(median "${theirs_s[@]}")
        printf '%-8s %-6s %-22s %10s %10s %10s\n' "${size}MB" "$load" "pelvoran-server backup" \
            "$os" "$([ "$os" = - ] && echo - || median "${ours_m[@]}")" \
            "$([ "$os" = - ] || [ "$ts" = - ] && echo - || ratio "$os" "$ts")"
        printf '%-8s %-6s %-22s %10s %10s %10s\n' "${size}MB" "$load" "sqlite3 .backup" \
            "$ts" "$([ "$ts" = - ] && echo - || median "${theirs_m[@]}")" 1.00
        [ "$ours_to" = 0 ] || echo "  pelvoran-server backup: $ours_to of $rounds runs over ${limit}s"
        [ "$theirs_to" = 0 ] || echo "  sqlite3 .backup: $theirs_to of $rounds runs over ${limit}s"
        [ "$load" = idle ] || echo "$load_note"
    done
    echo "  the server's own memory, idle: $((idle_kib / 1024)) MB"
    bench_stop "$server_pid" || true
    rm -rf "$state"
done
