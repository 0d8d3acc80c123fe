#!/usr/bin/env bash
# pelvoran-server's notifications under load:
#   1. delivery latency from a comment's 200 to its webhook's arrival, p50 and
#      p99, at a steady 100 comments a second for a minute (notify_latency.py);
#   2. the comment benchmark (wrk -t1 -c16, comment.lua) with no recipient and
#      with one webhook recipient, alternated (A, B, A, B, ...), medians of the
#      durable comments per second and of wrk's median latency.
# It stops with an error, and reports nothing, when a comment is not
# answered 200 (comment.lua's count, wrk's non-2xx count and socket errors;
# in the latency run, every comment posted) or a notification of one did not
# arrive.
#
#   bench/server/notify_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS (default 3) is the number of A/B pairs. PELVORAN_BENCH_SECONDS sets
# the length of each wrk run (default 10), PELVORAN_LATENCY_SECONDS that of
# the latency run (default 60). Needs wrk and python3. All traffic stays on
# 127.0.0.0/8; every process started here is ended on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-3}
seconds=${PELVORAN_BENCH_SECONDS:-10}
latency_seconds=${PELVORAN_LATENCY_SECONDS:-60}
here=bench/server
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
command -v wrk >/dev/null || { echo "notify_bench: wrk is missing (apt-get install wrk)" >&2; exit 1; }

. bench/server/common.sh
bench_build notify_bench "$build" pelvoran-server
server_bin=$(realpath "$build/server/pelvoran-server")

bench_workdir pelvoran-nbench


# A state directory, with a webhook recipient at HOOK_PORT when one is given.
make_state() {
    local state=$1 hook_port=${2:-}
    mkdir -p "$state"
    bench_start_server "$state" --admin-base-url https://admin.example/
    bench_stop "$server_pid" || true
    if [ -n "$hook_port" ]; then
        printf 'bench-secret\n' >"$work/secret"
        "$server_bin" notify add webhook "http://127.0.0.1:$hook_port/hook" \
            --secret-file "$work/secret" --state "$state" >/dev/null
    fi
}

echo "notification benchmarks: $rounds rounds, ${seconds}s wrk runs, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

echo "## 1. delivery latency, 100 comments/s for ${latency_seconds}s"
hook_port=$(bench_free_port)
make_state "$work/latency" "$hook_port"
bench_start_server "$work/latency" --admin-base-url https://admin.example/
timeout -k 5 $((latency_seconds + 90)) "$python" "$here/notify_latency.py" "$server_port" \
    "$hook_port" 100 "$latency_seconds" 30 >"$work/latency.out" ||
    bench_fail "the latency run failed: $(head -c 300 "$work/latency.out")"
bench_stop "$server_pid" || true
sed 's/^/  /' "$work/latency.out"
posted=$(value notify_posted "$work/latency.out") acked=$(value notify_acked "$work/latency.out")
[ -n "$posted" ] && [ "$acked" = "$posted" ] ||
    bench_fail "the latency run: ${acked:-no} of ${posted:-?} comments answered 200 ($(value notify_refused "$work/latency.out"))"
[ "$(value notify_missing "$work/latency.out")" = 0 ] ||
    bench_fail "the latency run: $(value notify_missing "$work/latency.out") notifications did not arrive within 30 s"

echo "## 2. durable comments, wrk -t1 -c16 -d${seconds}s, without and with a webhook recipient"
bench_per_client 16 1
# The recipient's receiver: answers every webhook 204 at once.
sink_port=$(bench_free_port)
"$python" -c '
import http.server, sys
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.send_response(204); self.send_header("Content-Length", "0"); self.end_headers()
    def log_message(self, *a): pass
class S(http.server.ThreadingHTTPServer):
    def handle_error(self, *a): pass  # a server stopped mid keep-alive
S(("127.0.0.1", int(sys.argv[1])), H).serve_forever()' "$sink_port" &
pids+=($!)
make_state "$work/plain"
make_state "$work/notified" "$sink_port"
plain_rate=() plain_p50=() notified_rate=() notified_p50=()
for r in $(seq "$rounds"); do
    for kind in plain notified; do
        bench_start_server "$work/$kind" --admin-base-url https://admin.example/
        out=$work/wrk.$kind.$r
        timeout -k 5 $((seconds + 30)) wrk --timeout 5s -t1 -c16 -d"${seconds}s" \
            -s "$here/comment.lua" "http://127.0.0.1:$server_port/Canon/comment.asp" >"$out"
        bench_stop "$server_pid" || true
        bench_comments_clean "$out" "comments, $kind, round $r"
        printf '  round %d %-9s %8s comments/s  median %6s ms  p99 %6s ms\n' \
            "$r" "$kind" "$(value comment_200_per_s "$out")" "$(value comment_p50_ms "$out")" \
            "$(value comment_p99_ms "$out")"
        eval "${kind}_rate+=(\"\$(value comment_200_per_s \"\$out\")\")"
        eval "${kind}_p50+=(\"\$(value comment_p50_ms \"\$out\")\")"
    done
done
pending=$("$server_bin" notify list --state "$work/notified" | sed -n 's/.*待发送：\([0-9]*\) 条.*/\1/p')

echo "## medians of $rounds rounds (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-36s %12s %12s %7s\n' "" "no recipient" "webhook" "ratio"
printf '%-36s %12s %12s %7s\n' "durable comments/s" "$(median "${plain_rate[@]}")" \
    "$(median "${notified_rate[@]}")" "$(ratio "$(median "${notified_rate[@]}")" "$(median "${plain_rate[@]}")")"
printf '%-36s %12s %12s %7s\n' "median latency of a comment, ms" "$(median "${plain_p50[@]}")" \
    "$(median "${notified_p50[@]}")" "$(ratio "$(median "${notified_p50[@]}")" "$(median "${plain_p50[@]}")")"
printf '%-36s %12s\n' "notifications left in the outbox" "${pending:-?}"
printf '%-36s %12s\n' "delivery latency p50, ms" "$(value notify_p50_ms "$work/latency.out")"
printf '%-36s %12s\n' "delivery latency p99, ms" "$(value notify_p99_ms "$work/latency.out")"
