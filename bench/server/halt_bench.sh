#!/usr/bin/env bash
# How long a halt takes to reach the answers: a release is published to every
# network, then `release halt` runs, and update checks (a Windows tool's, from
# one network through the trusted proxy, back to back on one connection) are
# timed until the first that no longer offers it. Then `release rollout 100`
# offers it again, timed the same way. Each round's two times are reported
# from the command's start and from its end; medians and maxima at the end.
#
#   bench/server/halt_bench.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build-sbench (configured here when it is not yet);
# ROUNDS defaults to 10. PELVORAN_SERVER names a pelvoran-server binary to
# measure instead of the build's. A check answered anything but the release
# or the empty reply stops it. Needs curl and python3.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-sbench}
rounds=${2:-10}
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if [ -z "${PELVORAN_SERVER:-}" ] &&
    ! build_log=$(cmake --build "$build" -j2 --target pelvoran-server 2>&1); then
    printf '%s\n' "$build_log" | tail -n 30 >&2
    echo "halt_bench: the build failed" >&2
    exit 1
fi
server_bin=$(realpath "${PELVORAN_SERVER:-$build/server/pelvoran-server}")

. bench/server/common.sh
bench_workdir pelvoran-halt
state=$work/state
bench_start_server "$state" --trusted-proxy 127.0.0.1
bench_publish "$state"
echo "halt benchmark: $rounds rounds, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

"$python" - "$server_bin" "$state" "$server_port" "$check_path" "$bench_reply" "$rounds" <<'PY'
import http.client, statistics, subprocess, sys, time

server, state, port, path, reply_file, rounds = sys.argv[1:]
reply = open(reply_file, "rb").read()
connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=5)
headers = {"User-Agent": "Pelvoran/1.06 (Windows)", "X-Forwarded-For": "198.18.7.1"}

def offered():
    connection.request("GET", path, headers=headers)
    body = connection.getresponse().read()
    if body not in (reply, b""):
        sys.exit("halt_bench: an update check answered neither the release nor nothing: %r"
                 % body[:200])
    return body == reply

def timed(args, want):
    """Runs the command, then checks until the answer is `want`: the seconds
    from the command's start and from its end."""
    start = time.monotonic()
    subprocess.run([server, "release", *args, "--state", state], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.monotonic()
    for _ in range(100000):
        if offered() == want:
            now = time.monotonic()
            return now - start, now - end
        if time.monotonic() - end > 30:
            break
    sys.exit("halt_bench: the answers did not follow `release %s` within 30 s" % " ".join(args))

halts, resumes = [], []
for n in range(int(rounds)):
    if not offered():
        sys.exit("halt_bench: the release is not offered before the halt")
    halts.append(timed(["halt"], False))
    resumes.append(timed(["rollout", "100"], True))
    print("  round %d  halt %6.0f ms (%6.0f after the command)  rollout 100 %6.0f ms (%6.0f after)"
          % (n + 1, halts[-1][0] * 1000, halts[-1][1] * 1000, resumes[-1][0] * 1000,
             resumes[-1][1] * 1000))
for name, times in (("halt", halts), ("rollout 100", resumes)):
    after = [t[1] * 1000 for t in times]
    print("%-12s median %6.0f ms, max %6.0f ms after the command (goal: within 1 s)"
          % (name, statistics.median(after), max(after)))
PY
