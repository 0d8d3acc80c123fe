#!/usr/bin/env bash
# pelvoran-server keeping its comments in PostgreSQL (serve --database), on a
# primary with a synchronous standby on loopback (pg_cluster, the tests'
# cluster), each figure beside a limit measured in the same run with the two
# alternated (A, B, A, B, ...) and medians reported:
#   1. durable comments per second (200 answers only; wrk -t1 -c16, comment.lua)
#      against a bare libpq loop on the same cluster (pg_commit_loop: one row a
#      transaction, one INSERT and one COMMIT, each waited for,
#      synchronous_commit=on), a fresh database each round;
#   2. the same comment load against a server on its SQLite file (WAL,
#      synchronous=FULL), in the same rounds: what PostgreSQL costs;
#   3. update checks per second and p99 (wrk -t1 -c50, check.lua) of the
#      server on PostgreSQL against the one on SQLite: both answer from
#      memory, so the two should be the same.
# It stops with an error, and reports nothing, when a request is not answered
# as it should be: a comment not answered 200, fewer rows stored than comments
# answered 200 (counted after each run, the server still running), the
# standby not synchronous before a run on PostgreSQL, an update check not
# answered 200 with the release published (before and after each run; wrk's
# non-2xx count and socket errors during it).
#
#   bench/server/postgres_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS (default 3) is the number of rounds. PELVORAN_BENCH_SECONDS sets the
# length of each wrk and libpq run (default 10); PELVORAN_SERVER names a
# pelvoran-server binary to measure instead of the build's;
# PELVORAN_BENCH_PARTS the parts to run (default "1 2 3"). Needs PostgreSQL's
# server programs (15 or later), psql, wrk, curl and python3:
#   apt-get install -y --no-install-recommends postgresql postgresql-client wrk curl python3
# As root, PostgreSQL runs as the user nobody. All traffic stays on
# 127.0.0.0/8; every process started here is ended on exit, the cluster last.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-3}
seconds=${PELVORAN_BENCH_SECONDS:-10}
parts=" ${PELVORAN_BENCH_PARTS:-1 2 3} "
here=bench/server
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

for tool in wrk curl psql "$python"; do
    if ! command -v "$tool" >/dev/null && [ ! -x "$tool" ]; then
        echo "postgres_bench: $tool is missing (apt-get install -y --no-install-recommends postgresql postgresql-client wrk curl python3)" >&2
        exit 1
    fi
done
part() { [[ $parts == *" $1 "* ]]; }

targets=(pg_cluster pg_commit_loop)
[ -n "${PELVORAN_SERVER:-}" ] || targets+=(pelvoran-server)
. bench/server/common.sh
bench_build postgres_bench "$build" "${targets[@]}"
server_bin=$(realpath "${PELVORAN_SERVER:-$build/server/pelvoran-server}")
cluster_bin=$(realpath "$build/bench/server/pg_cluster")
loop_bin=$(realpath "$build/bench/server/pg_commit_loop")

bench_workdir pelvoran-pgbench
chmod 755 "$work"

# The servers first (they hold connections to the cluster), then the cluster:
# its input ends and it stops both postmasters and removes their folder,
# which may take longer than bench_cleanup waits before SIGKILL.
cluster_pid='' cluster_in='' server_pids=()
pg_cleanup() {
    local pid
    for pid in "${server_pids[@]}"; do bench_stop "$pid" || true; done
    if [ -n "$cluster_pid" ]; then
        [ -z "$cluster_in" ] || exec {cluster_in}>&-
        kill -TERM "$cluster_pid" 2>/dev/null || true
        for _ in $(seq 600); do kill -0 "$cluster_pid" 2>/dev/null || break; sleep 0.1; done
    fi
    bench_cleanup
}
trap pg_cleanup EXIT

# has FILE KEY...: fails unless FILE gives every KEY a value.
has() {
    local file=$1 key
    shift
    for key in "$@"; do
        [ -n "$(value "$key" "$file")" ] || bench_fail "no $key in: $(head -c 300 "$file")"
    done
}
load1() { cut -d' ' -f1 /proc/loadavg; }
loads=()


# sql URI QUERY: the first column of the first row, bounded in time.
sql() {
    PGCONNECT_TIMEOUT=10 timeout -k 5 60 psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$1" -c "$2"
}
# Rows in the comments of the server on SQLite, read beside the running server.
sqlite_rows() {
    "$python" - "$1/comments.sqlite" <<'EOF'
import sqlite3, sys
db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True, timeout=30)
print(db.execute("SELECT count(*) FROM comments").fetchone()[0])
EOF
}

echo "pelvoran-server on PostgreSQL: $rounds rounds, ${seconds}s runs, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# --- the cluster: one database for the server, one for each round of the loop -----------------
databases=1
part 1 && databases=$((rounds + 1))
mkfifo "$work/cluster.in"
"$cluster_bin" "$databases" <"$work/cluster.in" >"$work/cluster.out" 2>"$work/cluster.err" &
cluster_pid=$!
pids+=("$cluster_pid")
exec {cluster_in}>"$work/cluster.in"
started=$SECONDS
until grep -qx ready "$work/cluster.out"; do
    kill -0 "$cluster_pid" 2>/dev/null && [ $((SECONDS - started)) -lt 300 ] ||
        bench_fail "the PostgreSQL cluster did not start: $(tail -c 2000 "$work/cluster.err")"
    sleep 0.2
done
mapfile -t uris < <(grep '^postgresql://' "$work/cluster.out")
[ "${#uris[@]}" = "$databases" ] || bench_fail "pg_cluster printed ${#uris[@]} databases, not $databases"
server_uri=${uris[0]}
echo "PostgreSQL $(sql "$server_uri" 'SHOW server_version'), primary and synchronous standby on 127.0.0.1, started in $((SECONDS - started)) s"

standby_sync() {
    local n
    n=$(sql "$server_uri" "SELECT count(*) FROM pg_stat_replication WHERE sync_state = 'sync'") ||
        bench_fail "cannot ask the primary for its standby"
    [ "$n" = 1 ] || bench_fail "$1: the primary has $n synchronous standbys, not 1"
}

# --- the two servers, with a release published -----------------------------------------------
# The checks name their networks to the trusted proxy's address.
bench_start_server "$work/state-pg" --max-connections 2000 --trusted-proxy 127.0.0.1 \
    --database "$server_uri"
server_pids+=("$server_pid")
bench_publish "$work/state-pg"
pg_url="http://127.0.0.1:$server_port"
bench_start_server "$work/state-sqlite" --max-connections 2000 --trusted-proxy 127.0.0.1
server_pids+=("$server_pid")
bench_publish "$work/state-sqlite"
sq_url="http://127.0.0.1:$server_port"
reply_bytes=$(stat -c %s "$bench_reply")
[ "$(sql "$server_uri" 'SELECT count(*) FROM release')" -gt 0 ] ||
    bench_fail "the server given --database keeps its release elsewhere"

# --- 1 and 2. durable comments ----------------------------------------------------------------
pg_rate=() pg_p99=() pg_per_xact=() loop_rate=() sq_rate=() sq_p99=()
# The next transaction id of the cluster: the ids taken during a run are its
# writing transactions (the server's batches of comments; nothing else
# writes while it runs), so comments answered over ids taken is the batch.
next_xid='SELECT pg_snapshot_xmax(pg_current_snapshot())'
pg_answered=0 sq_answered=0
# comments URL OUT WHAT: the comment load; fails on anything but 200 answers.
comments() {
    run_wrk -t1 -c16 -d"${seconds}s" -s "$here/comment.lua" "$1/Canon/comment.asp" >"$2"
    bench_comments_clean "$2" "$3"
    has "$2" comment_200 comment_200_per_s comment_p99_ms
}
if part 1 || part 2; then
    echo
    echo "## 1. durable comments, wrk -t1 -c16 -d${seconds}s (200 answers), server on PostgreSQL against libpq commits in a loop"
    part 2 && echo "## 2. and against the same server on SQLite, in the same rounds"
    bench_per_client 16 1
    for r in $(seq "$rounds"); do
        loads+=("$(load1)")
        standby_sync "comments, round $r"
        out=$work/wrk.comment.pg.$r
        xid_before=$(sql "$server_uri" "$next_xid") || bench_fail "cannot ask the primary for its transactions"
        comments "$pg_url" "$out" "comments on PostgreSQL, round $r"
        xid_after=$(sql "$server_uri" "$next_xid") || bench_fail "cannot ask the primary for its transactions"
        xids=$((xid_after - xid_before))
        pg_answered=$((pg_answered + $(value comment_200 "$out")))
        rows=$(sql "$server_uri" 'SELECT count(*) FROM comments') || bench_fail "cannot count the comments"
        [ "$rows" -ge "$pg_answered" ] ||
            bench_fail "comments on PostgreSQL, round $r: $pg_answered answered 200 so far, but $rows rows stored"
        per_xact=$(ratio "$(value comment_200 "$out")" "$xids")
        printf '  round %d postgresql %8s comments/s  (%s answered 200 in %s transactions, %s each; p99 %s ms; %s rows in all)  load %s\n' \
            "$r" "$(value comment_200_per_s "$out")" "$(value comment_200 "$out")" "$xids" "$per_xact" \
            "$(value comment_p99_ms "$out")" "$rows" "${loads[-1]}"
        pg_per_xact+=("$per_xact")
        pg_rate+=("$(value comment_200_per_s "$out")") pg_p99+=("$(value comment_p99_ms "$out")")

        if part 1; then
            standby_sync "the libpq loop, round $r"
            out=$work/loop.$r
            timeout -k 5 $((seconds + 60)) "$loop_bin" "${uris[$r]}" "$seconds" >"$out" 2>"$out.err" ||
                bench_fail "pg_commit_loop failed: $(head -c 500 "$out.err")"
            rate=$(awk '$5 == "commits_per_s" { print $6 }' "$out")
            [ -n "$rate" ] || bench_fail "pg_commit_loop printed no rate: $(head -c 300 "$out")"
            printf '  round %d libpq loop %8s commits/s   (%s commits)\n' "$r" "$rate" "$(awk '{ print $2 }' "$out")"
            loop_rate+=("$rate")
        fi

        if part 2; then
            out=$work/wrk.comment.sqlite.$r
            comments "$sq_url" "$out" "comments on SQLite, round $r"
            sq_answered=$((sq_answered + $(value comment_200 "$out")))
            rows=$(sqlite_rows "$work/state-sqlite") || bench_fail "cannot count the comments on SQLite"
            [ "$rows" -ge "$sq_answered" ] ||
                bench_fail "comments on SQLite, round $r: $sq_answered answered 200 so far, but $rows rows stored"
            printf '  round %d sqlite     %8s comments/s  (%s answered 200, p99 %s ms; %s rows in all)\n' \
                "$r" "$(value comment_200_per_s "$out")" "$(value comment_200 "$out")" \
                "$(value comment_p99_ms "$out")" "$rows"
            sq_rate+=("$(value comment_200_per_s "$out")") sq_p99+=("$(value comment_p99_ms "$out")")
        fi
    done
fi

# --- 3. update checks -------------------------------------------------------------------------
chk_pg=() chk_pg_p99=() chk_sq=() chk_sq_p99=()
if part 3; then
    echo
    echo "## 3. update checks, wrk -t1 -c50 -d${seconds}s -s check.lua, reply of $reply_bytes bytes, server on PostgreSQL against SQLite"
    bench_per_client 50 1
    for url in "$pg_url" "$sq_url"; do # warm both up
        timeout -k 5 30 wrk -t1 -c50 -d2s -s "$here/check.lua" "$url$check_path" -- "$reply_bytes" >/dev/null
    done
    for r in $(seq "$rounds"); do
        loads+=("$(load1)")
        for side in postgresql sqlite; do
            if [ $side = postgresql ]; then url=$pg_url; else url=$sq_url; fi
            bench_check_reply "$url"
            out=$work/wrk.check.$side.$r
            run_wrk -t1 -c50 -d"${seconds}s" --latency -s "$here/check.lua" "$url$check_path" -- "$reply_bytes" >"$out"
            bench_wrk_clean "$out" "update checks to the server on $side, round $r"
            has "$out" check_offered check_none check_other
            [ "$(value check_other "$out")" = 0 ] && [ "$(value check_none "$out")" = 0 ] ||
                bench_fail "update checks to the server on $side, round $r: $(value check_offered "$out") brought the release, $(value check_none "$out") nothing, $(value check_other "$out") otherwise"
            bench_check_reply "$url"
            rate=$(wrk_rate "$out") p99=$(wrk_p99_ms "$out")
            [ -n "$rate" ] && [ -n "$p99" ] || bench_fail "wrk printed no rate: $(head -c 300 "$out")"
            printf '  round %d %-10s %10s req/s  p99 %7s ms%s\n' "$r" "$side" "$rate" "$p99" \
                "$([ $side = postgresql ] && echo "  load ${loads[-1]}")"
            if [ $side = postgresql ]; then chk_pg+=("$rate") chk_pg_p99+=("$p99")
            else chk_sq+=("$rate") chk_sq_p99+=("$p99"); fi
        done
    done
fi

# --- summary -------------------------------------------------------------------------------------
loads+=("$(load1)")
echo
echo "## medians of $rounds rounds (load average now $(cut -d' ' -f1-3 /proc/loadavg); one minute's, at each round and the end: $(printf '%s\n' "${loads[@]}" | sort -g | head -n 1)-$(printf '%s\n' "${loads[@]}" | sort -g | tail -n 1))"
printf '%-36s %16s %22s %7s  %s\n' "figure" "on PostgreSQL" "limit" "ratio" "goal"
pair_ratios() {
    local -n a=$1 b=$2
    local i out=
    for i in "${!a[@]}"; do out+=" $(ratio "${a[$i]}" "${b[$i]}")"; done
    echo "$out"
}
if part 1 || part 2; then
    c_rate=$(median "${pg_rate[@]}")
    part 1 && printf '%-36s %16s %22s %7s  %s\n' "durable comments per second" "$c_rate" \
        "libpq loop $(median "${loop_rate[@]}")" "$(ratio "$c_rate" "$(median "${loop_rate[@]}")")" ">= 2.00"
    part 2 && printf '%-36s %16s %22s %7s  %s\n' "durable comments per second" "$c_rate" \
        "SQLite $(median "${sq_rate[@]}")" "$(ratio "$c_rate" "$(median "${sq_rate[@]}")")" ""
    printf '%-36s %16s\n' "comments per transaction" "$(median "${pg_per_xact[@]}")"
    printf '%-36s %16s %22s %7s\n' "comment p99, ms" "$(median "${pg_p99[@]}")" \
        "$(part 2 && echo "SQLite $(median "${sq_p99[@]}")")" \
        "$(part 2 && ratio "$(median "${pg_p99[@]}")" "$(median "${sq_p99[@]}")")"
fi
if part 3; then
    s_rate=$(median "${chk_pg[@]}") q_rate=$(median "${chk_sq[@]}")
    s_p99=$(median "${chk_pg_p99[@]}") q_p99=$(median "${chk_sq_p99[@]}")
    printf '%-36s %16s %22s %7s  %s\n' "update checks per second" "$s_rate" "SQLite $q_rate" \
        "$(ratio "$s_rate" "$q_rate")" "unchanged (1.00)"
    printf '%-36s %16s %22s %7s  %s\n' "update check p99, ms" "$s_p99" "SQLite $q_p99" \
        "$(ratio "$s_p99" "$q_p99")" "unchanged (1.00)"
fi
part 1 && echo "each round's ratio, comments on PostgreSQL / libpq loop:$(pair_ratios pg_rate loop_rate)"
part 2 && echo "each round's ratio, comments on PostgreSQL / on SQLite:$(pair_ratios pg_rate sq_rate)"
part 3 && echo "each round's ratio, update checks PostgreSQL / SQLite:$(pair_ratios chk_pg chk_sq); p99:$(pair_ratios chk_pg_p99 chk_sq_p99)"
if part 1 || part 2; then
    echo "comments answered 200: $pg_answered on PostgreSQL ($(sql "$server_uri" 'SELECT count(*) FROM comments') rows), $sq_answered on SQLite ($(sqlite_rows "$work/state-sqlite") rows)"
fi
exit 0
