#!/usr/bin/env bash
# Renders the README's screenshots from the real windows into docs/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
pelvoran_packages+=("${pelvoran_test_packages[@]}")
pelvoran_install_deps
pelvoran_configure build -DCMAKE_BUILD_TYPE=Release -DPELVORAN_BUILD_TESTS=ON
cmake --build build -j2 --target pelvoran_screenshots
QT_QPA_PLATFORM=offscreen build/tests/pelvoran_screenshots docs/screenshots
