#!/usr/bin/env bash
# Runs the tool's start-up path (update check against a closed port on
# 127.0.0.1, main window shown, a query and a comment, then closed) under
# valgrind memcheck and prints the leak summary and the error count.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" -j2 --target pelvoran_app_driver >/dev/null
log=$(mktemp)
QT_QPA_PLATFORM=offscreen valgrind --leak-check=full --errors-for-leak-kinds=definite \
    --num-callers=30 --log-file="$log" \
    "$build/tests/pelvoran_app_driver" http://127.0.0.1:9 observe
grep -E "definitely lost|indirectly lost|possibly lost|ERROR SUMMARY" "$log"
echo "Definite leaks through our own code:"
grep -A30 "definitely lost in" "$log" | grep -E "pelvoran|/work/" | head -20 || echo "  none"
rm -f "$log"
