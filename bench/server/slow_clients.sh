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
#            namespace of their own (root and unshare(1) needed).
# An update check counts as answered when it brings the release published,
# a comment when it is answered 200 (stored); every other answer is listed
# by its status.
#
#   bench/server/slow_clients.sh SERVER_BINARY [all|heads|bodies|check|comment|budget|ipv6]...
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

# start [LISTEN]: a fresh server with the release published; sets pid and port.
start() {
    mkdir -p "$work/state"
    bench_listen=${1:-127.0.0.1:0} bench_start_server "$work/state"
    bench_publish "$work/state"
    pid=$server_pid port=$server_port
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
if wanted ipv6; then
    if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
        PELVORAN_SLOW_CLIENTS_INNER=ipv6 PELVORAN_ATTACK_SECONDS=$seconds \
            unshare --net bash "$self" "$server"
    else
        echo "# ipv6: skipped (needs root and unshare)"
    fi
fi
