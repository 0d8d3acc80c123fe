#!/bin/sh
# Runs each fuzz target, built with fuzz_main.cpp, over its seed corpus once:
#   run_corpus.sh TARGET CORPUS [TARGET CORPUS]...
# Fails when any target fails or ends by a signal (a broken rule aborts).
status=0
while [ $# -ge 2 ]; do
    "$1" "$2" || { echo "$1 failed on $2 (status $?)" >&2; status=1; }
    shift 2
done
exit $status
