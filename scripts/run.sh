#!/usr/bin/env bash
# Installs what is missing, builds Pelvoran and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
pelvoran_install_deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
if [ -x build/app/pelvoran ]; then
    exec build/app/pelvoran
fi
exec build/cli/pelvoran-decode UE0945 6831234567
