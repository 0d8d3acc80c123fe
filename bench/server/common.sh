# What the server benchmarks share. Sourced, not run.
#   bench_workdir PREFIX   makes $work (removed at exit) and $pids, whose
#                          processes get SIGTERM, then SIGKILL, at exit
#   bench_stop PID         SIGTERM, up to 10 s, then SIGKILL; the process
#                          leaves $pids; false when it had to be killed
#   median N...            the sorted middle (the mean of the two middle ones
#                          for an even count)
#   ratio A B              A / B to two places
#   bench_start_server STATE [OPTION...]
#                          serve on STATE ($server_bin; public and admin
#                          listeners on loopback, no comment limit, the
#                          options given); sets server_pid and server_port

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

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2];
        else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "nan" }'; }

bench_start_server() {
    local state=$1 out=$work/server.$RANDOM.out
    shift
    "$server_bin" serve --state "$state" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 \
        --comments-per-hour 0 "$@" >"$out" 2>"$out.err" &
    server_pid=$!
    pids+=("$server_pid")
    server_port=
    for _ in $(seq 100); do
        server_port=$(sed -n '1s/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$out")
        [ -n "$server_port" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "${0##*/}: pelvoran-server did not start:" >&2
    cat "$out" "$out.err" >&2
    exit 1
}
