#!/usr/bin/env bash
# Start-up and footprint of Pelvoran against a bare Qt window, under the
# offscreen platform and under Xvfb, plus the stripped size of the executable
# and the number of shared libraries it loads.
#   bench/startup.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-15}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELVORAN_BUILD_TESTS=ON \
        -DPELVORAN_BUILD_BENCH=ON
fi
cmake --build "$build" -j2 --target bare_window pelvoran_first_show startup_bench pelvoran >/dev/null

echo "## offscreen"
QT_QPA_PLATFORM=offscreen "$build/bench/startup_bench" "$build/bench/bare_window" \
    "$build/bench/pelvoran_first_show" "$runs"

if command -v Xvfb >/dev/null; then
    echo
    echo "## Xvfb"
    Xvfb :97 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    sleep 1
    DISPLAY=:97 QT_QPA_PLATFORM=xcb "$build/bench/startup_bench" "$build/bench/bare_window" \
        "$build/bench/pelvoran_first_show" "$runs"
else
    echo "(Xvfb not installed: apt-get install xvfb for the X11 figures)"
fi

echo
stripped=$(mktemp)
strip -o "$stripped" "$build/app/pelvoran"
echo "stripped executable: $(stat -c %s "$stripped") bytes"
rm -f "$stripped"
echo "shared libraries: $(ldd "$build/app/pelvoran" | grep -c '=>') (bare window: $(ldd "$build/bench/bare_window" | grep -c '=>'))"
