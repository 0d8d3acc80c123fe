#!/usr/bin/env bash
# Pelvoran.exe under wine against the real pelvoran-server:
#   real_server_test.sh WINE APP_PROCESS_WIN_TEST_EXE PORT
# Starts $PELVORAN_LINUX_SERVER on 127.0.0.1:PORT (the port the test's
# Pelvoran.exe asks) with a Windows and a Linux release, runs the case that
# expects the Windows one offered, then reads from the server's /metrics
# that the check came from Pelvoran 1.05 on Windows. Exits 77 (skipped)
# without a Linux server to run.
set -euo pipefail
wine=$1 test_exe=$2 port=$3
server=${PELVORAN_LINUX_SERVER:-}
if [ -z "$server" ] || [ ! -x "$server" ]; then
    echo "skipped: no Linux pelvoran-server (PELVORAN_LINUX_SERVER) to run"
    exit 77
fi
state=$(mktemp -d)
log=$(mktemp)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$state" "$log" "$log.set"
}
trap cleanup EXIT
# The server dies with this script, also when ctest kills it at its time limit.
setpriv --pdeathsig KILL "$server" serve --state "$state" --listen "127.0.0.1:$port" \
    --admin-listen 127.0.0.1:0 >"$log" 2>&1 &
pid=$!
# Runs the command until it succeeds, while the server runs; up to 60 s (a
# loaded machine).
wait_for() {
    local deadline=$((SECONDS + 60))
    for _ in $(seq 600); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
    return 1
}
if ! wait_for test -s "$state/admin-address"; then
    echo "the server did not start within 60 s"
    cat "$log"
    exit 1
fi
for version in 1.06:windows 1.07:linux; do
    "$server" release set --state "$state" --version "${version%:*}" --platform "${version#*:}" \
        --address "http://127.0.0.1/${version#*:}" --date 2026-12-09 \
        --notes "$([ "${version#*:}" = windows ] && echo "Windows 版" || echo "Linux 版")" \
        >"$log.set" 2>&1 || { cat "$log.set" "$log"; exit 1; }
done
# Both releases are served once a Linux check gets its own.
reply=
serves_the_linux_release() {
    reply=$(curl -s -m 10 -A 'Pelvoran/1.05 (Linux)' \
        "http://127.0.0.1:$port/Canon/LensCheck.asp?Action=Check&D=x" || true)
    [[ $reply == 1.07* ]]
}
if ! wait_for serves_the_linux_release; then
    echo "the server did not serve the Linux release within 60 s: '$reply'"
    cat "$log"
    exit 1
fi
PELVORAN_REAL_SERVER=1 "$wine" "$test_exe" --gtest_filter='*RealServer*'
token=$(cat "$state/metrics-token")
admin=$(cat "$state/admin-address")
metrics=$(curl -s -m 30 -H "Authorization: Bearer $token" "http://$admin/metrics")
line='pelvoran_update_checks_total{version="1.05",platform="windows"} 1'
if ! grep -qxF "$line" <<<"$metrics"; then
    echo "the server counted no check from Pelvoran 1.05 on Windows; its counts:"
    grep '^pelvoran_update_checks_total' <<<"$metrics" || true
    exit 1
fi
echo "$line"
