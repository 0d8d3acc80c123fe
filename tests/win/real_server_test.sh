#!/usr/bin/env bash
# Pelvoran.exe under wine against the real pelvoran-server:
#   real_server_test.sh WINE APP_PROCESS_WIN_TEST_EXE PORT
# Starts $PELVORAN_LINUX_SERVER on 127.0.0.1:PORT (the port the test's
# Pelvoran.exe asks) with a Windows and a Linux release, runs the case that
# expects the Windows one offered, then reads from the server's /metrics
# that the check came from Pelvoran 1.05 on Windows. Then the conversation:
# the keyed Pelvoran.exe sends a comment, the publisher answers it on the
# admin page (with the test answer key, tests/support/answer_test_key.pem, in
# the server's state), the tool shows the answer at its next start, and the
# admin page says it was delivered. Exits 77 (skipped) without a Linux server
# to run.
set -euo pipefail
wine=$1 test_exe=$2 port=$3
server=${PELVORAN_LINUX_SERVER:-}
if [ -z "$server" ] || [ ! -x "$server" ]; then
    echo "skipped: no Linux pelvoran-server (PELVORAN_LINUX_SERVER) to run"
    exit 77
fi
state=$(mktemp -d)
log=$(mktemp)
# The tool's APPDATA for the conversation's two starts.
appdata=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$state" "$log" "$log.set" "$appdata"
}
trap cleanup EXIT
# The answers are signed with the key the test executables are built with.
install -m 600 "$(dirname "$0")/../support/answer_test_key.pem" "$state/answer-key.pem"
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
export PELVORAN_REAL_SERVER=1 PELVORAN_REAL_SERVER_APPDATA="Z:${appdata//\//\\}"
"$wine" "$test_exe" --gtest_filter='*RealServerOffers*'
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

"$wine" "$test_exe" --gtest_filter='*RealServerNumbers*'
# The publisher answers comment 1 on its admin page, signed in by the link
# that admin-url gives, with the page's CSRF token.
signin=$("$server" admin-url --state "$state" | sed -n 's|.*/?|?|p' | head -n 1)
cookie=$(curl -s -m 30 -o /dev/null -D - "http://$admin/comments$signin" |
    sed -n 's/^[Ss]et-[Cc]ookie: \([^;]*\).*/\1/p' | tr -d '\r')
page=$(curl -s -m 30 -H "Cookie: $cookie" "http://$admin/comment?id=1")
csrf=$(grep -o 'name="csrf" value="[^"]*"' <<<"$page" | head -n 1 | sed 's/.*value="//; s/"$//')
status=$(curl -s -m 30 -o /dev/null -w '%{http_code}' -H "Cookie: $cookie" \
    --data "csrf=$csrf&id=1" --data-urlencode "text=1990年9月，宇都宫。" \
    "http://$admin/comments/answer")
if [ "$status" != 200 ]; then
    echo "answering comment 1 on the admin page gave $status"
    cat "$log"
    exit 1
fi
"$wine" "$test_exe" --gtest_filter='*RealServerAnswer*'
page=$(curl -s -m 30 -H "Cookie: $cookie" "http://$admin/comment?id=1")
if ! grep -q '送达写信人的工具' <<<"$page"; then
    echo "the admin page does not say that the answer was delivered"
    exit 1
fi
echo "comment 1 answered and its answer delivered to the Windows tool"
