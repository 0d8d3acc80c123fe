#!/usr/bin/env bash
# leftovers.sh RUN [--kill]
# Names every process still running whose environment carries
# PELVORAN_TEST_RUN=RUN (what the test command exports before its first
# build: every process a test starts inherits it), one a line as
# "PID COMMAND LINE". With --kill, kills them too (their process groups
# first: a browser's or a database's helpers go with them). Exits 1 when
# there was any, 0 when none.
set -u
run=${1:?usage: leftovers.sh RUN [--kill]}
# Without the marker ourselves, so that nothing this script starts is found.
if [ -n "${PELVORAN_TEST_RUN:-}" ]; then
    exec env -u PELVORAN_TEST_RUN bash "$0" "$@"
fi
kill=false
[ "${2:-}" = --kill ] && kill=true
found=()
# One grep over every environment (a zombie's is empty, another user's may
# be unreadable: neither is named).
while IFS= read -r file; do
    file=${file#/proc/}
    found+=("${file%/environ}")
done < <(grep -lzxF "PELVORAN_TEST_RUN=$run" /proc/[0-9]*/environ 2>/dev/null)
[ ${#found[@]} -eq 0 ] && exit 0
for pid in "${found[@]}"; do
    args=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")
    [ -n "$args" ] && echo "$pid $args"
done
if $kill; then
    for pid in "${found[@]}"; do
        pgid=$(ps -o pgid= -p "$pid" 2>/dev/null | tr -d ' ')
        # Never the caller's own group.
        [ -n "$pgid" ] && [ "$pgid" != "$(ps -o pgid= -p $$ | tr -d ' ')" ] &&
            kill -KILL -- "-$pgid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
    done
fi
exit 1
