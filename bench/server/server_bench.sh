#!/usr/bin/env bash
# pelvoran-server under load, each figure beside a limit measured in the same run
# with the two alternated (A, B, A, B, ...) and medians reported:
#   1. update checks per second and p99 (wrk -t1 -c50) against nginx, one worker,
#      serving the same reply bytes as a static file; the checks carry the
#      tools' agents (check.lua: Windows, Linux, none) and name 256 networks
#      through the trusted proxy, so agent and rollout are in the path;
#   2. durable comments per second (200 answers only) against a bare loop of
#      SQLite commits, WAL and synchronous=FULL, one row per transaction;
#   3. an update check's latency while 300 slow clients dribble request heads;
#   4. the server's memory before and after 1,000 idle connections.
# It stops with an error, and reports nothing, when a request is not answered
# as it should be: an update check not answered 200 with the release
# published (before and after each run; wrk's non-2xx count and socket
# errors during it), a comment not answered 200, fewer rows stored than
# comments answered, a slow client or an idle connection not connected.
#
#   bench/server/server_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS (default 3) is the number of A/B pairs. PELVORAN_BENCH_SECONDS sets
# the length of each wrk and SQLite run (default 10); PELVORAN_SERVER names a
# pelvoran-server binary to measure instead of the build's; PELVORAN_BENCH_PARTS
# the parts to run (default "1 2 3 4"); PELVORAN_BENCH_ROLLOUT publishes the
# release to that percentage of the networks (1 to 100, default 100: the
# release set of a server with staged rollouts). Needs wrk, nginx, curl
# and python3: apt-get install -y --no-install-recommends wrk nginx-light curl python3
# All traffic stays on 127.0.0.0/8; every process started here is ended on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-3}
seconds=${PELVORAN_BENCH_SECONDS:-10}
parts=" ${PELVORAN_BENCH_PARTS:-1 2 3 4} "
bench_rollout=${PELVORAN_BENCH_ROLLOUT:-100}
here=bench/server
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

for tool in wrk nginx curl "$python"; do
    if ! command -v "$tool" >/dev/null && [ ! -x "$tool" ]; then
        echo "server_bench: $tool is missing (apt-get install -y --no-install-recommends wrk nginx-light curl python3)" >&2
        exit 1
    fi
done
case $bench_rollout in
[1-9] | [1-9][0-9] | 100) ;;
*) echo "server_bench: PELVORAN_BENCH_ROLLOUT must be a whole number from 1 to 100" >&2; exit 2 ;;
esac
part() { [[ $parts == *" $1 "* ]]; }
srv_rate=() srv_p99=() ngx_rate=() ngx_p99=() srv_share=() com_rate=() loop_rate=()
slow_median=() slow_max=() slow_open=()

targets=(sqlite_commit_loop)
[ -n "${PELVORAN_SERVER:-}" ] || targets+=(pelvoran-server)
. bench/server/common.sh
bench_build server_bench "$build" "${targets[@]}"
server_bin=$(realpath "${PELVORAN_SERVER:-$build/server/pelvoran-server}")
loop_bin=$(realpath "$build/bench/server/sqlite_commit_loop")

# 1,000 idle connections plus the client's own descriptors.
bench_open_files 8192
bench_workdir pelvoran-sbench
chmod 755 "$work" # nginx's worker runs as an unprivileged user when started by root

maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }
# has FILE KEY...: fails unless FILE gives every KEY a value.
has() {
    local file=$1 key
    shift
    for key in "$@"; do
        [ -n "$(value "$key" "$file")" ] || bench_fail "no $key in: $(head -c 300 "$file")"
    done
}


stop_server() {
    bench_stop "$server_pid" ||
        echo "server_bench: pelvoran-server ignored SIGTERM for 10 s; killed" >&2
}


echo "pelvoran-server benchmarks: $rounds rounds, ${seconds}s runs, rollout $bench_rollout %, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# --- the server, with a release published ------------------------------------------------
state=$work/state
mkdir -p "$state"
# The checks name their networks to the trusted proxy's address.
bench_start_server "$state" --max-connections 2000 --trusted-proxy 127.0.0.1
bench_publish "$state"
main_url="http://127.0.0.1:$server_port"
mkdir -p "$work/nginx/root/Canon" "$work/nginx/logs"
cp "$bench_reply" "$work/nginx/root/Canon/LensCheck.asp"
reply_bytes=$(stat -c %s "$bench_reply")

# --- nginx serving the same bytes -----------------------------------------------------------
bench_start_nginx text/plain
if ! curl -sS "$nginx_url$check_path" | cmp -s - "$bench_reply"; then
    cat "$work/nginx/logs/stderr" "$work/nginx/logs/error.log" >&2
    bench_fail "nginx does not serve the reply"
fi

# Fails unless every check the server answered brought the release (or, staged,
# the empty reply); prints the share offered.
check_served() {
    local offered none other
    if [ "$bench_rollout" = 100 ]; then
        bench_check_reply "$main_url"
        return
    fi
    read -r offered none other < <(bench_probe "$main_url")
    [ "$other" = 0 ] && [ "$offered" -gt 0 ] ||
        bench_fail "update checks from 256 networks: $offered offered the release, $none nothing, $other otherwise"
}

# --- 1. update checks -------------------------------------------------------------------------
if part 1; then
echo
echo "## 1. update checks, wrk -t1 -c50 -d${seconds}s -s check.lua, reply of $reply_bytes bytes"
bench_per_client 50 1
for url in "$main_url" "$nginx_url"; do # warm both up
    timeout -k 5 30 wrk -t1 -c50 -d2s -s "$here/check.lua" "$url$check_path" -- "$reply_bytes" >/dev/null
done
for r in $(seq "$rounds"); do
    for side in server nginx; do
        if [ $side = server ]; then url=$main_url; else url=$nginx_url; fi
        out=$work/wrk.check.$side.$r
        run_wrk -t1 -c50 -d"${seconds}s" --latency -s "$here/check.lua" "$url$check_path" -- "$reply_bytes" >"$out"
        bench_wrk_clean "$out" "update checks to $side, round $r"
        has "$out" check_offered check_none check_other
        offered=$(value check_offered "$out") none=$(value check_none "$out")
        # nginx and a release to every network: the release in every answer.
        empty_ok=0
        [ "$side" = nginx ] || [ "$bench_rollout" = 100 ] || empty_ok=1
        [ "$(value check_other "$out")" = 0 ] && { [ "$none" = 0 ] || [ "$empty_ok" = 1 ]; } ||
            bench_fail "update checks to $side, round $r: $offered brought the release, $none nothing, $(value check_other "$out") otherwise"
        if [ $side = server ]; then check_served; else bench_check_reply "$url"; fi
        rate=$(wrk_rate "$out") p99=$(wrk_p99_ms "$out")
        [ -n "$rate" ] && [ -n "$p99" ] || bench_fail "wrk printed no rate: $(head -c 300 "$out")"
        share=$(awk -v o="$offered" -v n="$none" 'BEGIN { printf "%.1f", 100 * o / (o + n) }')
        printf '  round %d %-6s %10s req/s  p99 %7s ms  release in %5s %% of answers\n' \
            "$r" "$side" "$rate" "$p99" "$share"
        if [ $side = server ]; then srv_rate+=("$rate") srv_p99+=("$p99") srv_share+=("$share")
        else ngx_rate+=("$rate") ngx_p99+=("$p99"); fi
    done
done
fi

# --- 2. durable comments ----------------------------------------------------------------------
if part 2; then
echo
echo "## 2. durable comments, wrk -t1 -c16 -d${seconds}s (200 answers) against SQLite commits in a loop"
bench_per_client 16 1
com_rate=() loop_rate=()
for r in $(seq "$rounds"); do
    out=$work/wrk.comment.$r
    run_wrk -t1 -c16 -d"${seconds}s" -s "$here/comment.lua" "$main_url/Canon/comment.asp" >"$out"
    bench_comments_clean "$out" "comments, round $r"
    has "$out" comment_200_per_s comment_p99_ms
    rate=$(value comment_200_per_s "$out")
    printf '  round %d server %8s comments/s  (%s answered 200, p99 %s ms)\n' \
        "$r" "$rate" "$(value comment_200 "$out")" "$(value comment_p99_ms "$out")"
    com_rate+=("$rate")

    dir=$(mktemp -d "$work/loop.XXXXXX")
    timeout -k 5 $((seconds + 30)) "$loop_bin" "$dir" "$seconds" >"$work/loop.$r" ||
        bench_fail "sqlite_commit_loop failed"
    rate=$(awk '$5 == "commits_per_s" { print $6 }' "$work/loop.$r")
    [ -n "$rate" ] || bench_fail "sqlite_commit_loop printed no rate: $(head -c 300 "$work/loop.$r")"
    printf '  round %d loop   %8s commits/s  (%s commits)\n' "$r" "$rate" "$(awk '{ print $2 }' "$work/loop.$r")"
    loop_rate+=("$rate")
    rm -rf "$dir"
done
fi

# --- 3. update checks beside slow clients ------------------------------------------------------
echo
# The checks are a second apart, so the slow heads are still dribbling past the
# server's idle timeout (15 s), which counts silence alone and never ends them;
# the head deadline (10 s) does.
if part 3; then
echo "## 3. 20 update checks (fresh connections, 1 s apart) while 300 connections send a head a byte a second"
bench_per_client 300 10
slow_median=() slow_max=() slow_open=()
for r in $(seq "$rounds"); do
    out=$work/slow.$r
    timeout -k 5 90 "$python" "$here/hold_connections.py" slow --port "$server_port" \
        --count 300 --sources 10 --checks 20 --gap 1 --reply "$bench_reply" >"$out" ||
        bench_fail "round $r: not every update check beside the slow clients was answered with the release: $(value check_status "$out")"
    has "$out" slow_connected check_median_ms check_max_ms check_status slow_open_at_end
    [ "$(value slow_connected "$out")" = 300 ] ||
        bench_fail "round $r: only $(value slow_connected "$out") of 300 slow clients connected"
    printf '  round %d median %7s ms  max %7s ms  statuses %s  slow open at end %s\n' "$r" \
        "$(value check_median_ms "$out")" "$(value check_max_ms "$out")" "$(value check_status "$out")" \
        "$(value slow_open_at_end "$out")"
    slow_median+=("$(value check_median_ms "$out")") slow_max+=("$(value check_max_ms "$out")")
    slow_open+=("$(value slow_open_at_end "$out")")
done
fi
stop_server

# Every 200 must be a stored row (a few more rows may come from requests still
# in flight when wrk stopped).
rows=$("$python" - "$state/comments.sqlite" <<'EOF' 2>/dev/null || echo "?"
import sqlite3, sys
print(sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True).execute("SELECT count(*) FROM comments").fetchone()[0])
EOF
)
answered=0
if part 2; then
for r in $(seq "$rounds"); do answered=$((answered + $(value comment_200 "$work/wrk.comment.$r"))); done
echo
echo "## 2, checked after the server stopped: comments answered 200: $answered; rows stored: $rows"
fi
if [ "$rows" = "?" ] || [ "$rows" -lt "$answered" ]; then
    bench_fail "$answered comments were answered 200 but $rows rows are stored"
fi

# --- 4. memory per idle connection, a fresh server each round -----------------------------------
if part 4; then
echo
echo "## 4. RSS before and after 1000 idle connections over 20 source addresses (fresh server each round)"
bench_per_client 1000 20
rss_before=() rss_after=() hwm_after=() per_conn=() idle_held=() idle_left=()
idle_hold=20 # past the server's idle timeout
for r in $(seq "$rounds"); do
    bench_start_server "$state" --max-connections 2000
    out=$work/idle.$r
    timeout -k 5 90 "$python" "$here/hold_connections.py" idle --port "$server_port" --pid "$server_pid" \
        --count 1000 --sources 20 --hold "$idle_hold" >"$out" || bench_fail "round $r: $(head -c 300 "$out")"
    has "$out" idle_open_at_end rss_before_kb rss_after_kb hwm_after_kb rss_per_conn_bytes \
        idle_server_fds_added idle_open_after_hold
    [ "$(value idle_open_at_end "$out")" = 1000 ] ||
        bench_fail "round $r: the server held $(value idle_open_at_end "$out") of the 1000 idle connections"
    printf '  round %d VmRSS %s -> %s kB, VmHWM %s -> %s kB, %s B per connection; server took %s\n' \
        "$r" "$(value rss_before_kb "$out")" "$(value rss_after_kb "$out")" "$(value hwm_before_kb "$out")" \
        "$(value hwm_after_kb "$out")" "$(value rss_per_conn_bytes "$out")" "$(value idle_server_fds_added "$out")"
    printf '          %s s later: %s of them open, VmRSS %s kB\n' "$idle_hold" \
        "$(value idle_open_after_hold "$out")" "$(value rss_after_hold_kb "$out")"
    rss_before+=("$(value rss_before_kb "$out")") rss_after+=("$(value rss_after_kb "$out")")
    hwm_after+=("$(value hwm_after_kb "$out")") per_conn+=("$(value rss_per_conn_bytes "$out")")
    idle_held+=("$(value idle_server_fds_added "$out")") idle_left+=("$(value idle_open_after_hold "$out")")
    stop_server
done
fi

# --- summary -------------------------------------------------------------------------------------
echo
echo "## medians of $rounds rounds (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-40s %14s %22s %7s  %s\n' "figure" "pelvoran-server" "limit" "ratio" "goal"
# The disk's fsync time and the other work on the machine move between rounds;
# each round's own ratio shows how much.
pair_ratios() {
    local -n a=$1 b=$2
    local i out=
    for i in "${!a[@]}"; do out+=" $(ratio "${a[$i]}" "${b[$i]}")"; done
    echo "$out"
}
if part 1; then
    s_rate=$(median "${srv_rate[@]}") n_rate=$(median "${ngx_rate[@]}")
    s_p99=$(median "${srv_p99[@]}") n_p99=$(median "${ngx_p99[@]}")
    printf '%-40s %14s %22s %7s  %s\n' "update checks per second" "$s_rate" "nginx $n_rate" \
        "$(ratio "$s_rate" "$n_rate")" ">= 1.00"
    printf '%-40s %14s %22s %7s  %s\n' "update check p99, ms" "$s_p99" "nginx $n_p99" \
        "$(ratio "$s_p99" "$n_p99")" "<= 10 ms, <= 2.00"
    printf '%-40s %14s\n' "answers with the release, %" "$(median "${srv_share[@]}")"
fi
if part 2; then
    c_rate=$(median "${com_rate[@]}") l_rate=$(median "${loop_rate[@]}")
    printf '%-40s %14s %22s %7s  %s\n' "durable comments per second" "$c_rate" "SQLite loop $l_rate" \
        "$(ratio "$c_rate" "$l_rate")" ">= 1.00"
fi
if part 3; then
    printf '%-40s %14s %22s %7s  %s\n' "check beside 300 slow clients, median ms" \
        "$(median "${slow_median[@]}")" "" "" "< 1000"
    printf '%-40s %14s %22s %7s  %s\n' "check beside 300 slow clients, max ms" \
        "$(maximum "${slow_max[@]}")" "" "" "< 1000"
    printf '%-40s %14s\n' "slow connections open at the end" "$(median "${slow_open[@]}") of 300"
fi
if part 4; then
    printf '%-40s %14s\n' "VmRSS before idle connections, kB" "$(median "${rss_before[@]}")"
    printf '%-40s %14s\n' "VmRSS with 1000 idle connections, kB" "$(median "${rss_after[@]}")"
    printf '%-40s %14s\n' "VmHWM with 1000 idle connections, kB" "$(median "${hwm_after[@]}")"
    printf '%-40s %14s\n' "RSS per idle connection, bytes" "$(median "${per_conn[@]}")"
    printf '%-40s %14s\n' "idle connections the server held" "$(median "${idle_held[@]}")"
    printf '%-40s %14s\n' "idle connections open ${idle_hold} s later" "$(median "${idle_left[@]}")"
fi
part 1 && echo "each round's ratio, update checks:$(pair_ratios srv_rate ngx_rate); p99:$(pair_ratios srv_p99 ngx_p99)"
part 2 && echo "each round's ratio, comments:$(pair_ratios com_rate loop_rate)"
exit 0
