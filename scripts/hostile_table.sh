#!/usr/bin/env bash
# Starts the real start-up path against each hostile-server case and prints
# the table: time from launch to the main window, message boxes, peak memory,
# what the opener was asked to start, and whether the tool still worked.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/configure.sh
build=${1:-build}
pelvoran_configure "$build" -DPELVORAN_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target hostile_server_test >/dev/null
echo "| case             | window   | offer | thanks | peak RSS | opener  | after    |"
echo "|------------------|----------|-------|--------|----------|---------|----------|"
"$build/tests/hostile_server_test" 2>/dev/null | grep '^| '
