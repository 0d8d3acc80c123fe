#!/usr/bin/env bash
# A release's download served by pelvoran-server beside nginx (one worker,
# sendfile on) serving the same file, alternated (A, B, A, B, ...), medians
# reported:
#   1. a 1 MiB file, wrk -t1 -c50: downloads and bytes a second, p99;
#   2. the memory of each (VmRSS before, the most while, VmHWM after) while
#      1,000 clients over 20 source addresses each read the file a few KiB a
#      second (hold_connections.py readers).
# The server publishes the file with
#   release set --file FILE --download-base http://127.0.0.1:PORT --version 1.06 ...
# and serves it at /download/windows/1.06/Pelvoran.exe; nginx serves the same
# bytes at the same path. It stops with an error, and reports nothing, when
# a download is not the file (curl before and after each run: status 200 and
# the file's SHA-256; wrk's non-2xx count and socket errors during it) or a
# slow reader's answer does not begin with 200.
#
#   bench/server/download_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS (default 3) is the number of A/B pairs. PELVORAN_BENCH_SECONDS sets
# the length of each wrk run (default 10) and of the slow reading (default
# 20); PELVORAN_SERVER names a pelvoran-server binary to measure instead of
# the build's; PELVORAN_BENCH_SIDES="nginx" measures nginx alone (a check of
# the benchmark itself on a server that serves no downloads). Needs wrk,
# nginx, curl and python3:
#   apt-get install -y --no-install-recommends wrk nginx-light curl python3
# All traffic stays on 127.0.0.0/8; every process started here is ended on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-3}
seconds=${PELVORAN_BENCH_SECONDS:-10}
sides=${PELVORAN_BENCH_SIDES:-server nginx}
here=bench/server
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
size=$((1024 * 1024))
path=/download/windows/1.06/Pelvoran.exe

for tool in wrk nginx curl sha256sum "$python"; do
    if ! command -v "$tool" >/dev/null && [ ! -x "$tool" ]; then
        echo "download_bench: $tool is missing (apt-get install -y --no-install-recommends wrk nginx-light curl python3)" >&2
        exit 1
    fi
done
for side in $sides; do
    case $side in
    server | nginx) ;;
    *) echo "download_bench: PELVORAN_BENCH_SIDES names server and nginx, not $side" >&2; exit 2 ;;
    esac
done
has_side() { [[ " $sides " == *" $1 "* ]]; }

if has_side server && [ -z "${PELVORAN_SERVER:-}" ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    if ! build_log=$(cmake --build "$build" -j2 --target pelvoran-server 2>&1); then
        printf '%s\n' "$build_log" | tail -n 30 >&2
        echo "download_bench: the build failed" >&2
        exit 1
    fi
fi
server_bin=$(realpath "${PELVORAN_SERVER:-$build/server/pelvoran-server}")

. bench/server/common.sh
# 1,000 slow readers plus the client's own descriptors.
bench_open_files 8192
bench_workdir pelvoran-dbench
chmod 755 "$work" # nginx's worker runs as an unprivileged user when started by root

mib_per_s() { awk -v r="$1" -v s="$size" 'BEGIN { printf "%.1f", r * s / 1048576 }'; }

# The file: random bytes, so that nothing on the way can shrink them.
file=$work/Pelvoran.exe
head -c "$size" /dev/urandom >"$file"
sha=$(sha256sum "$file" | cut -d' ' -f1)

# Fails unless URL answers 200 with the file's bytes.
check_download() {
    local status got
    status=$(curl -sS -o "$work/got" -w '%{http_code}' "$1$path") || status=none
    got=$(sha256sum "$work/got" 2>/dev/null | cut -d' ' -f1)
    [ "$status" = 200 ] && [ "$got" = "$sha" ] ||
        bench_fail "$2 answered $status with SHA-256 ${got:-none}, not the file ($sha) at $1$path"
}

echo "download benchmark: a file of $size bytes, $rounds rounds, ${seconds}s runs, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
urls=() names=() procs=()

# --- the server, the file published -------------------------------------------------------
if has_side server; then
    state=$work/state
    mkdir -p "$state"
    # serve makes the database; the address names its port.
    bench_start_server "$state" --max-connections 2000
    port=$server_port
    # Unsigned: it says so on stderr, shown only when it refuses.
    "$server_bin" release set --state "$state" --file "$file" --download-base "http://127.0.0.1:$port" \
        --version 1.06 --date 2026-12-01 --notes "能读出最新镜头的日期码；启动更快。" \
        >/dev/null 2>"$work/release.err" ||
        bench_fail "release set refused the file: $(cat "$work/release.err")"
    # Served once the listener has its copy of the file, within a second or so.
    for _ in $(seq 100); do
        [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$path")" = 200 ] && break
        sleep 0.1
    done
    check_download "http://127.0.0.1:$port" pelvoran-server
    urls+=("http://127.0.0.1:$port") names+=(server) procs+=("$server_pid")
fi

# --- nginx serving the same bytes ---------------------------------------------------------
if has_side nginx; then
    mkdir -p "$work/nginx/root${path%/*}" "$work/nginx/logs"
    cp "$file" "$work/nginx/root$path"
    bench_start_nginx application/octet-stream "sendfile on;"
    worker=$(pgrep -P "$nginx_pid" | head -n 1) || true
    if [ -z "$worker" ]; then
        cat "$work/nginx/logs/stderr" "$work/nginx/logs/error.log" >&2
        bench_fail "nginx did not start"
    fi
    check_download "http://127.0.0.1:$nginx_port" nginx
    urls+=("http://127.0.0.1:$nginx_port") names+=(nginx) procs+=("$worker")
fi

# --- 1. whole downloads ---------------------------------------------------------------------
echo
echo "## 1. downloads of $size bytes, wrk -t1 -c50 -d${seconds}s"
bench_per_client 50 1
for url in "${urls[@]}"; do # warm both up
    timeout -k 5 30 wrk -t1 -c50 -d2s "$url$path" >/dev/null
done
declare -A rate p99
for r in $(seq "$rounds"); do
    for i in "${!urls[@]}"; do
        side=${names[$i]} out=$work/wrk.$side.$r
        run_wrk -t1 -c50 -d"${seconds}s" --latency "${urls[$i]}$path" >"$out"
        bench_wrk_clean "$out" "downloads from $side, round $r"
        check_download "${urls[$i]}" "$side"
        rate[$side.$r]=$(wrk_rate "$out") p99[$side.$r]=$(wrk_p99_ms "$out")
        [ -n "${rate[$side.$r]}" ] && [ -n "${p99[$side.$r]}" ] ||
            bench_fail "wrk printed no rate: $(head -c 300 "$out")"
        printf '  round %d %-6s %9s downloads/s  %8s MiB/s  p99 %7s ms\n' "$r" "$side" \
            "${rate[$side.$r]}" "$(mib_per_s "${rate[$side.$r]}")" "${p99[$side.$r]}"
    done
done

# --- 2. slow readers ------------------------------------------------------------------------
slow_seconds=${PELVORAN_BENCH_SECONDS:-20}
echo
echo "## 2. memory while 1000 connections over 20 source addresses read the file at 4 KiB/s each, ${slow_seconds}s"
bench_per_client 1000 20
for i in "${!urls[@]}"; do
    side=${names[$i]} out=$work/readers.${names[$i]}
    port=${urls[$i]##*:}
    timeout -k 5 $((slow_seconds + 60)) "$python" "$here/hold_connections.py" readers --port "$port" \
        --pid "${procs[$i]}" --path "$path" --size "$size" --count 1000 --sources 20 --rate 4096 \
        --seconds "$slow_seconds" >"$out" || bench_fail "the slow readers of $side failed: $(head -c 300 "$out")"
    [ "$(value readers_connected "$out")" = 1000 ] && [ "$(value readers_status "$out")" = 200:1000 ] ||
        bench_fail "slow readers of $side: $(value readers_connected "$out") of 1000 connected, statuses $(value readers_status "$out")"
    printf '  %-6s VmRSS %s kB before, at most %s kB while reading, VmHWM %s kB; %s still reading at the end, %s cut\n' \
        "$side" "$(value rss_before_kb "$out")" "$(value rss_most_kb "$out")" "$(value hwm_after_kb "$out")" \
        "$(value readers_open_at_end "$out")" "$(value readers_cut "$out")"
    check_download "${urls[$i]}" "$side"
done

# --- summary ----------------------------------------------------------------------------------
echo
echo "## medians of $rounds rounds (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
column() {
    local side=$1 r values=()
    for r in $(seq "$rounds"); do values+=("${rate[$side.$r]}"); done
    median "${values[@]}"
}
for side in "${names[@]}"; do
    m=$(column "$side")
    values=()
    for r in $(seq "$rounds"); do values+=("${p99[$side.$r]}"); done
    printf '%-8s %9s downloads/s  %8s MiB/s  p99 %7s ms  memory with 1000 slow readers: at most %s MB\n' \
        "$side" "$m" "$(mib_per_s "$m")" "$(median "${values[@]}")" \
        "$(($(value rss_most_kb "$work/readers.$side") / 1024))"
done
if has_side server && has_side nginx; then
    per_round=
    for r in $(seq "$rounds"); do per_round+=" $(ratio "${rate[server.$r]}" "${rate[nginx.$r]}")"; done
    echo "server / nginx, bytes a second: $(ratio "$(column server)" "$(column nginx)") (goal >= 0.80; rounds$per_round)"
    echo "server's memory with 1000 slow readers: goal < 100 MB"
fi
