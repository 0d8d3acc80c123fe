#!/usr/bin/env bash
# The two slow-client attacks against a pelvoran-server binary, on loopback:
#   1. slots: 33 addresses x 64 connections that send a header line every
#      3 s and reconnect when closed, against update checks from another
#      address once a second;
#   2. bodies: 512 connections that send all but the last byte of a 1 MiB
#      comment and then a byte every 5 s, against the server's memory.
#
#   bench/server/slow_clients.sh SERVER_BINARY [slots|bodies|both]
#
# Each run is bounded (40 s and 30 s of attack); the server is started here
# with its state in a temporary directory and ended on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
server=$(realpath "$1")
which=${2:-both}
python=/usr/bin/python3
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# Both sides hold thousands of sockets.
ulimit -n 16384

start() {
    "$server" serve --state "$work/state" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 \
        >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        grep -q '^listening' "$work/out" 2>/dev/null && break
        sleep 0.1
    done
    port=$(head -n 1 "$work/out" | sed 's/.*://')
}
stop() {
    kill "$pid" && wait "$pid" || true
    pid=
    rm -rf "$work/state"
}

if [ "$which" = slots ] || [ "$which" = both ]; then
    start
    echo "# slots ($server)"
    timeout -k 5 120 "$python" bench/server/hold_connections.py slots --port "$port"
    stop
fi
if [ "$which" = bodies ] || [ "$which" = both ]; then
    start
    echo "# bodies ($server)"
    timeout -k 5 120 "$python" bench/server/hold_connections.py bodies --port "$port" --pid "$pid" ${PELVORAN_BODIES_ARGS:-}
    stop
fi
