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
    # Xvfb picks a free display and writes its number once it is ready.
    display_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true; rm -f "$display_file"' EXIT
    for _ in $(seq 100); do
        [ -s "$display_file" ] && break
        sleep 0.1
    done
    DISPLAY=:$(head -n 1 "$display_file") QT_QPA_PLATFORM=xcb "$build/bench/startup_bench" \
        "$build/bench/bare_window" "$build/bench/pelvoran_first_show" "$runs"
else
    echo "(Xvfb not installed: apt-get install xvfb for the X11 figures)"
fi

echo
stripped=$(mktemp)
strip -o "$stripped" "$build/app/pelvoran"
echo "stripped executable: $(stat -c %s "$stripped") bytes"
rm -f "$stripped"
echo "shared libraries: $(ldd "$build/app/pelvoran" | grep -c '=>') (bare window: $(ldd "$build/bench/bare_window" | grep -c '=>'))"
