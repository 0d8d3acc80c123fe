# What the server benchmarks share. Sourced, not run.
#   bench_build NAME BUILD TARGET...
#                          configures BUILD (Release, tests and benchmarks)
#                          when it is not yet, and builds the targets; on a
#                          failure prints the build's end and stops, as NAME
#   bench_workdir PREFIX   makes $work (removed at exit) and $pids, whose
#                          processes get SIGTERM, then SIGKILL, at exit
#   bench_open_files N     lets this shell and its children open N
#                          descriptors, or as many as the hard limit allows
#   bench_stop PID         SIGTERM, up to 10 s, then SIGKILL; the process
#                          leaves $pids; false when it had to be killed
#   bench_fail MESSAGE...  says why the benchmark stops, and stops it
#   median N...            the sorted middle (the mean of the two middle ones
#                          for an even count)
#   ratio A B              A / B to two places
#   bench_start_server STATE [OPTION...]
#                          serve on STATE ($server_bin; the public listener on
#                          $bench_listen, default 127.0.0.1:0, the admin one on
#                          loopback, the per-client allowances lifted, the
#                          options given); sets server_pid and server_port
#   bench_per_client CONNECTIONS SOURCES
#                          fails when a load would hold more connections from
#                          one address than the server lets one client hold
#   bench_publish STATE    publishes the benchmarks' release on the server
#                          running on STATE (for both platforms when the
#                          server has them; to $bench_rollout percent of the
#                          networks, default 100) and waits until the update
#                          check serves it; its reply's bytes are in
#                          $bench_reply
#   bench_free_port        a free TCP port on 127.0.0.1
#   bench_start_nginx TYPE [DIRECTIVE...]
#                          nginx, one worker, serving $work/nginx/root with
#                          default_type TYPE and the http directives given
#                          (e.g. "sendfile on;"); sets nginx_pid, nginx_port
#                          and nginx_url once it answers
#   bench_check_reply URL  fails unless the update check at URL answers 200
#                          with exactly $bench_reply
#   bench_probe URL        update checks from 256 networks of 198.18.0.0/15
#                          (in X-Forwarded-For, taken from a trusted proxy
#                          at 127.0.0.1) with the agents of check.lua;
#                          prints how many brought the release, the empty
#                          reply, and anything else
#   bench_wrk_clean OUT WHAT
#                          fails when wrk's output OUT counts a non-2xx
#                          answer or a socket error
#   bench_comments_clean OUT WHAT
#                          the same, and fails unless comment.lua counted
#                          comments answered 200 and nothing else

bench_build() {
    local name=$1 build=$2 log
    shift 2
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELVORAN_BUILD_TESTS=ON \
            -DPELVORAN_BUILD_BENCH=ON >/dev/null
    fi
    if ! log=$(cmake --build "$build" -j2 --target "$@" 2>&1); then
        printf '%s\n' "$log" | tail -n 30 >&2
        echo "$name: the build failed" >&2
        exit 1
    fi
}

# Connections one client (an IPv4 address, an IPv6 /64) may hold; no option
# changes it, so the loads stay below it.
bench_max_per_client=64

bench_open_files() {
    local hard
    hard=$(ulimit -Hn)
    if [ "$hard" = unlimited ] || [ "$hard" -ge "$1" ]; then ulimit -n "$1"; else ulimit -n "$hard"; fi
}

bench_workdir() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    pids=()
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

bench_cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}

bench_stop() {
    local ended=0 pid kept=()
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$1" 2>/dev/null; then
        kill -KILL "$1" 2>/dev/null || true
        ended=1
    fi
    wait "$1" 2>/dev/null || true
    for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
    pids=("${kept[@]}")
    return $ended
}

bench_fail() {
    echo "${0##*/}: $*; no figures reported" >&2
    exit 1
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2];
        else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "nan" }'; }
# value KEY FILE: the word after KEY on its line of FILE.
value() { awk -v k="$1" '$1 == k { print $2; exit }' "$2"; }
# wrk, bounded twice: by -d and by timeout in case it hangs (the caller's
# $seconds is the run's length); its rate, and its p99 in milliseconds.
run_wrk() {
    timeout -k 5 $((seconds + 30)) wrk --timeout 5s "$@"
}
wrk_rate() { awk '/^Requests\/sec:/ { print $2 }' "$1"; }
wrk_p99_ms() {
    awk '$1 == "99%" { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
        if (u == "us") v /= 1000; else if (u == "s") v *= 1000; else if (u == "m") v *= 60000;
        printf "%.2f\n", v }' "$1"
}

# The allowances are lifted here, for every benchmark: a load from one
# address past them would measure refusals (429). The body budget's shares
# stay as they are: no load here holds more than a few short bodies at once.
bench_start_server() {
    local state=$1 out=$work/server.$RANDOM.out
    shift
    : >"$out" # there before the server's own redirection, which may come later
    "$server_bin" serve --state "$state" --listen "${bench_listen:-127.0.0.1:0}" \
        --admin-listen 127.0.0.1:0 --comments-per-hour 0 --comment-bytes-per-hour 0 \
        "$@" >"$out" 2>"$out.err" &
    server_pid=$!
    pids+=("$server_pid")
    server_port=
    for _ in $(seq 100); do
        server_port=$(sed -n '1s/^listening on .*:\([0-9][0-9]*\)$/\1/p' "$out")
        [ -n "$server_port" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "${0##*/}: pelvoran-server did not start:" >&2
    cat "$out" "$out.err" >&2
    exit 1
}

bench_per_client() {
    local per=$((($1 + $2 - 1) / $2))
    [ "$per" -le "$bench_max_per_client" ] ||
        bench_fail "$1 connections over $2 addresses is $per from one address; the server holds $bench_max_per_client"
}

# What the update check offers while a benchmark runs: notes of the length a
# publisher writes, in Chinese, so the reply carries the escapes a real one does.
bench_release=(--version 1.06 --address https://example.com/pelvoran/Pelvoran-1.06.exe
    --date 2026-12-01 --notes "能读出最新镜头的日期码；启动更快。")
check_path='/Canon/LensCheck.asp?Action=Check&D=2026-12-07%2010:00:00'

bench_publish() {
    local rollout=${bench_rollout:-100} platforms=("") platform staged=()
    [ "$rollout" = 100 ] || staged=(--rollout "$rollout")
    # A server without platforms has one release, answered to every agent.
    if "$server_bin" --help 2>&1 | grep -q -- '--platform'; then platforms=(windows linux); fi
    for platform in "${platforms[@]}"; do
        # Unsigned: it says so on stderr, shown only when it refuses. The
        # same fields for Linux, so that every agent is answered with the
        # same bytes as nginx's file.
        "$server_bin" release set --state "$1" "${bench_release[@]}" \
            ${platform:+--platform "$platform"} "${staged[@]}" >/dev/null 2>"$work/release.err" ||
            bench_fail "release set refused the benchmarks' release: $(cat "$work/release.err")"
    done
    # The reply as the tool reads it: the fields joined by "[;]", ASCII as it
    # is, "%" as "%25", every other UTF-16 unit as "%uXXXX".
    bench_reply=$work/reply.expected
    "${python:-python3}" - "${bench_release[@]}" >"$bench_reply" <<'EOF'
import sys
args = sys.argv[1:]
fields = [args[args.index(o) + 1] for o in ("--version", "--address", "--date", "--notes")]
def escape(text):
    units = text.encode("utf-16-le")
    out = ""
    for i in range(0, len(units), 2):
        u = units[i] | units[i + 1] << 8
        out += "%25" if u == 0x25 else chr(u) if u < 0x80 else "%%u%04X" % u
    return out
sys.stdout.write("[;]".join(escape(f) for f in fields))
EOF
    # A running server picks a new release up within a second. Staged, it
    # offers it to some networks and nothing to the others.
    local offered none other
    for _ in $(seq 100); do
        if [ "$rollout" = 100 ]; then
            curl -sS -o "$work/reply.served" "http://127.0.0.1:$server_port$check_path" &&
                cmp -s "$work/reply.served" "$bench_reply" && return 0
        else
            read -r offered none other < <(bench_probe "http://127.0.0.1:$server_port")
            [ "$offered" -gt 0 ] && [ "$other" = 0 ] && return 0
            echo "$offered offered, $none none, $other other" >"$work/reply.served"
        fi
        sleep 0.1
    done
    bench_fail "the update check does not serve the release published: $(head -c 300 "$work/reply.served")"
}

bench_probe() {
    "${python:-python3}" - "$1$check_path" "$bench_reply" <<'EOF'
import http.client, sys, urllib.parse
url, reply = urllib.parse.urlsplit(sys.argv[1]), open(sys.argv[2], "rb").read()
agents = ["Pelvoran/1.06 (Windows)", "Pelvoran/1.06 (Linux)", "Pelvoran/1.06 (Windows)", None,
          "Pelvoran/1.06 (Windows)"]
counts = [0, 0, 0]
connection = http.client.HTTPConnection(url.hostname, url.port, timeout=5)
for n in range(256):
    # http.client sends no agent of its own: "None" is a 1.05 tool's check.
    headers = {"X-Forwarded-For": "198.18.%d.1" % n}
    if agents[n % 5]:
        headers["User-Agent"] = agents[n % 5]
    try:
        connection.request("GET", url.path + "?" + url.query, headers=headers)
        answer = connection.getresponse()
        body = answer.read()
        counts[2 if answer.status != 200 else 0 if body == reply else 1 if body == b"" else 2] += 1
    except (OSError, http.client.HTTPException):
        counts[2] += 1
        connection.close()
print(*counts)
EOF
}

bench_check_reply() {
    local status
    status=$(curl -sS -o "$work/reply.served" -w '%{http_code}' "$1$check_path") || status=none
    [ "$status" = 200 ] && cmp -s "$work/reply.served" "$bench_reply" ||
        bench_fail "the update check at $1 answered $status, not the release published: $(head -c 300 "$work/reply.served")"
}

bench_wrk_clean() {
    local non2xx errors
    non2xx=$(awk '/Non-2xx or 3xx responses:/ { n = $NF } END { print n + 0 }' "$1")
    errors=$(awk '/Socket errors:/ { sub(/^ *Socket errors: */, ""); print }' "$1")
    [ "$non2xx" = 0 ] && [ -z "$errors" ] ||
        bench_fail "$2: wrk counted $non2xx answers not 2xx and socket errors ${errors:-none}"
}

bench_comments_clean() {
    local taken other
    bench_wrk_clean "$1" "$2"
    taken=$(awk '$1 == "comment_200" { print $2 }' "$1")
    other=$(awk '$1 == "comment_other" { print $2 }' "$1")
    [ -n "$taken" ] && [ "$taken" -gt 0 ] && [ "$other" = 0 ] ||
        bench_fail "$2: comments answered 200: ${taken:-none}, otherwise: ${other:-?}"
}

bench_free_port() {
    "${python:-python3}" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

bench_start_nginx() {
    local type=$1
    shift
    mkdir -p "$work/nginx/root" "$work/nginx/logs"
    nginx_port=$(bench_free_port)
    cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 4096; }
http {
    access_log off;
    default_type $type;
    $*
    keepalive_requests 1000000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/nginx/root;
    }
}
EOF
    chmod -R a+rX "$work/nginx"
    "$(command -v nginx)" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' \
        2>"$work/nginx/logs/stderr" &
    nginx_pid=$!
    pids+=("$nginx_pid")
    nginx_url="http://127.0.0.1:$nginx_port"
    for _ in $(seq 50); do curl -s -o /dev/null "$nginx_url/" && return 0; sleep 0.1; done
    cat "$work/nginx/logs/stderr" "$work/nginx/logs/error.log" >&2
    bench_fail "nginx did not start"
}
