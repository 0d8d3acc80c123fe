#!/usr/bin/env bash
# The slow-client attacks against a pelvoran-server binary, on loopback, each
# against a fresh server with the default limits (but the hourly comment
# allowances, lifted for every benchmark in common.sh: the timed comments
# must not meet them) and a release published:
#   heads    33 addresses x 64 connections that send a header line every
#            3 s and reconnect when closed, against update checks from
#            another address once a second;
#   bodies   512 connections that send all but the last byte of a 1 MiB
#            comment and then a byte every 5 s, against the server's memory;
#   check    32 addresses x 64 connections: a GET of the update check
#            announcing 1 MiB, then 2,560 bytes every 2 s (the audit's slot
#            attack), against an update check and a comment from another
#            address every second;
#   comment  the same on the comment route;
#   budget   one address, 64 connections announcing 1 MiB on the comment
#            route, dribbling as above;
#   ipv6     check and comment from 32 IPv6 /64s of one /59, in a network
#            namespace of their own (root and unshare(1) needed);
#   downloads  32 addresses x 64 connections downloading a file of 3 MB
#            (published for Linux beside the release) at 8 KB/s each, opened
#            again when closed, against an update check from another address
#            every second;
#   stalled  a server of --max-connections 200: 4 addresses x 64 downloads of
#            it that never read, each replaced every 14 s, against the same.
#            Both in a network namespace whose loopback has the internet's
#            MTU, 1,500 (root and unshare(1) needed; on the machine's
#            loopback otherwise, whose send buffers take the whole file).
# An update check counts as answered when it brings the release published,
# a comment when it is answered 200 (stored); every other answer is listed
# by its status. The download runs also count the checks answered within
# 1 s, and the connections the server held (its sockets, every second).
#
#   bench/server/slow_clients.sh SERVER_BINARY [all|heads|bodies|check|comment|budget|ipv6|downloads|stalled]...
#
# Every run is bounded (PELVORAN_ATTACK_SECONDS of attack, 60 by default,
# 40 and 30 for heads and bodies); the server's state is in a temporary
# directory, and the server is ended on exit.
set -euo pipefail
self=$(realpath "$0")
server=$(realpath "$1") # before the cd: a path given from where it was run
server_bin=$server
cd "$(dirname "$0")/../.."
shift
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(all)
python=/usr/bin/python3
seconds=${PELVORAN_ATTACK_SECONDS:-60}
. bench/server/common.sh
bench_workdir pelvoran-slow
# Both sides hold thousands of sockets.
ulimit -n 16384

wanted() {
    local r
    for r in "${runs[@]}"; do [ "$r" = all ] || [ "$r" = "$1" ] && return 0; done
    return 1
}

# start [LISTEN [OPTION...]]: a fresh server with the release published;
# sets pid and port.
start() {
    mkdir -p "$work/state"
    local listen=${1:-127.0.0.1:0}
    shift || true
    bench_listen=$listen bench_start_server "$work/state" "$@"
    bench_publish "$work/state"
    pid=$server_pid port=$server_port
}

# publish_file: a file of 3 MB, random bytes, published for the Linux tools
# on the running server (the update checks, which name no agent, still bring
# the release); sets file_path and file_size once it is served.
publish_file() {
    file_size=3000000 file_path=/download/linux/1.06/Pelvoran.exe
    head -c "$file_size" /dev/urandom >"$work/Pelvoran.exe"
    "$server_bin" release set --state "$work/state" --platform linux --version 1.06 \
        --date 2026-12-01 --notes "能读出最新镜头的日期码；启动更快。" --file "$work/Pelvoran.exe" \
        --download-base "http://127.0.0.1:$port" >/dev/null 2>"$work/release.err" ||
        bench_fail "release set refused the file: $(cat "$work/release.err")"
    for _ in $(seq 100); do
        [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$file_path")" = 200 ] && return 0
        sleep 0.1
    done
    bench_fail "the file published is not served at $file_path"
}

# downloading NAME ARGS...: one run of hold_connections.py downloads.
downloading() {
    local name=$1
    shift
    echo "# $name ($server)"
    timeout -k 5 $((seconds + 60)) "$python" bench/server/hold_connections.py downloads \
        --port "$port" --pid "$pid" --seconds "$seconds" --reply "$bench_reply" \
        --path "$file_path" --size "$file_size" "$@"
}
stop() {
    bench_stop "$pid" || echo "# the server ignored SIGTERM for 10 s; killed"
    rm -rf "$work/state"
}

# dribble NAME ARGS...: one run of hold_connections.py dribble.
dribble() {
    local name=$1
    shift
    echo "# $name ($server)"
    timeout -k 5 $((seconds + 60)) "$python" bench/server/hold_connections.py dribble \
        --port "$port" --pid "$pid" --seconds "$seconds" --reply "$bench_reply" "$@"
}

# download_runs: the runs on a served file asked for.
download_runs() {
    if wanted downloads; then
        start
        publish_file
        downloading downloads --sources 32 --per-source 64 --rate 8192
        stop
    fi
    if wanted stalled; then
        start 127.0.0.1:0 --max-connections 200
        publish_file
        downloading stalled --sources 4 --per-source 64 --rate 0 --renew 14
        stop
    fi
}

if [ "${PELVORAN_SLOW_CLIENTS_INNER:-}" = downloads ]; then
    # Inside the namespace: loopback with the MTU of the internet's links,
    # on which the kernel's send buffer grows to a few hundred KB and not to
    # megabytes: a file of 3 MB waits in the server, not in the socket.
    ip link set lo up
    ip link set lo mtu 1500
    download_runs
    exit 0
fi
if [ "${PELVORAN_SLOW_CLIENTS_INNER:-}" = ipv6 ]; then
    # Inside the namespace: loopback up, the attackers' /59 and another /48.
    ip link set lo up
    for i in $(seq 0 31); do ip -6 addr add "2001:db8:1:$(printf %x "$i")::1/64" dev lo nodad; done
    ip -6 addr add 2001:db8:2::1/64 dev lo nodad
    for route in check comment; do
        start '[::]:0'
        dribble "ipv6 $route" --route "$route" --ipv6
        stop
    done
    exit 0
fi

if wanted heads; then
    start
    echo "# heads ($server)"
    timeout -k 5 120 "$python" bench/server/hold_connections.py slots --port "$port" --reply "$bench_reply"
    stop
fi
if wanted bodies; then
    start
    echo "# bodies ($server)"
    timeout -k 5 120 "$python" bench/server/hold_connections.py bodies --port "$port" --pid "$pid" ${PELVORAN_BODIES_ARGS:-}
    stop
fi
for route in check comment; do
    if wanted "$route"; then
        start
        dribble "$route" --route "$route"
        stop
    fi
done
if wanted budget; then
    start
    dribble budget --route comment --sources 1 --per-source 64
    stop
fi
if wanted downloads || wanted stalled; then
    if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
        PELVORAN_SLOW_CLIENTS_INNER=downloads PELVORAN_ATTACK_SECONDS=$seconds \
            unshare --net bash "$self" "$server" "${runs[@]}"
    else
        echo "# downloads, stalled: on the machine's loopback (not root: no namespace of MTU 1500)"
        download_runs
    fi
fi
if wanted ipv6; then
    if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
        PELVORAN_SLOW_CLIENTS_INNER=ipv6 PELVORAN_ATTACK_SECONDS=$seconds \
            unshare --net bash "$self" "$server"
    else
        echo "# ipv6: skipped (needs root and unshare)"
    fi
fi
