#!/usr/bin/env bash
# Installs what is missing, builds the program (nothing else) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
pelvoran_install_deps
pelvoran_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target pelvoran
exec build/app/pelvoran
