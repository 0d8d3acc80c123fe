#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# under AddressSanitizer + UndefinedBehaviorSanitizer, then as released.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
pelvoran_install_deps

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELVORAN_SANITIZE=ON
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2 || status=1

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 || status=1
exit $status
