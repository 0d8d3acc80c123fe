#!/bin/sh
# run_shards.sh N EXECUTABLE ARGS...
# Runs a GoogleTest executable as N shards at once (GTEST_TOTAL_SHARDS), for
# suites whose cases mostly wait on processes and time limits: their waits
# overlap instead of adding up. Prints every shard's output, the failing
# ones last, and fails when any shard fails.
set -u
shards=$1
shift
out=$(mktemp -d)
pids=
i=0
while [ "$i" -lt "$shards" ]; do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$@" >"$out/$i" 2>&1 &
    pids="$pids $!"
    i=$((i + 1))
done
# A test killed at its time limit takes its shards with it.
trap 'kill $pids 2>/dev/null; rm -rf "$out"; exit 1' TERM INT
status=0
failed=
i=0
for pid in $pids; do
    if wait "$pid"; then
        cat "$out/$i"
    else
        status=1
        failed="$failed $i"
    fi
    i=$((i + 1))
done
for i in $failed; do
    echo "---- shard $i of $shards failed:"
    cat "$out/$i"
done
rm -rf "$out"
exit $status
