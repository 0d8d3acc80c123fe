#!/usr/bin/env bash
# Installs what is missing, builds Pelvoran and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
pelvoran_packages+=(fonts-noto-cjk) # the Chinese texts
pelvoran_install_deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
exec build/app/pelvoran
