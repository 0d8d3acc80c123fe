#!/usr/bin/env bash
# Installs what is missing, builds the server and the program, starts the
# server on loopback with its state under build/ (or in PELVORAN_RUN_STATE),
# then the program pointed at it. Closing the program stops the server; the
# comments stay in the state.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
pelvoran_install_deps
pelvoran_configure build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2 --target pelvoran-server

state=${PELVORAN_RUN_STATE:-build/run-state}
server=build/server/pelvoran-server
log=build/run-server.log
"$server" serve --state "$state" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
# The first "listening on" line gives the public address (the admin
# address comes last); a first start begins with a note that the state
# directory was made.
address=
for _ in $(seq 600); do
    address=$(sed -n '/^listening on /{s///p;q}' "$log")
    [ -n "$address" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
done
if [ -z "$address" ]; then
    cat "$log" >&2
    echo "服务器 60 秒内没有开始监听（日志见上）。" >&2
    exit 1
fi
base=http://$address

# The program is built against the server just started.
pelvoran_configure build -DPELVORAN_SERVER_BASE="$base" >/dev/null
cmake --build build -j2 --target pelvoran

admin=$("$server" admin-url --state "$state")
cat <<TEXT

服务器在 $base 运行，数据在 $state。
查询网页：$base/
管理页面：$admin（只能登录一次，一小时内有效；新地址：$server admin-url --state $state）
读留言：  $server comments list --state $state
发布新版：$server release set --state $state --version 1.06 --address URL --date 日期 --notes 说明

TEXT
build/app/pelvoran
