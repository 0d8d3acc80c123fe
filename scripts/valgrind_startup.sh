#!/usr/bin/env bash
# Runs the tool's start-up path (update check against a closed port on
# 127.0.0.1, main window shown, a query and a comment, then closed) under
# valgrind memcheck and prints the leak summary and the error count.
#   bash scripts/valgrind_startup.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
build=${1:-build}
. scripts/deps.sh
pelvoran_packages+=("${pelvoran_test_packages[@]}" valgrind)
pelvoran_install_deps
# The start-up driver is built with the tests.
cmake -S . -B "$build" -G Ninja -DPELVORAN_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target pelvoran_app_driver >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
QT_QPA_PLATFORM=offscreen valgrind --leak-check=full --errors-for-leak-kinds=definite \
    --num-callers=30 --fullpath-after= --log-file="$log" \
    "$build/tests/pelvoran_app_driver" http://127.0.0.1:9 observe
grep -E "definitely lost|indirectly lost|possibly lost|ERROR SUMMARY" "$log"
# Our own frames: the pelvoran namespace and binaries, and files of this checkout.
echo "Definite leaks through our own code:"
grep -A30 "definitely lost in" "$log" | grep -F -e pelvoran -e "$root/" | head -20 || echo "  none"
