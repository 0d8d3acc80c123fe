#!/usr/bin/env bash
# Makes the Debian packages of a build folder that is already configured and
# built (cpack), and copies them into dist/ beside the Windows executables,
# with dist/SHA256SUMS:
#   bash scripts/build-packages.sh [build-folder]     (build/ by default)
# PELVORAN_DIST names another output folder than dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/sums.sh

build=${1:-build}
dist=${PELVORAN_DIST:-dist}
rm -f "$build"/pelvoran*.deb
# cpack gives the members of the .deb (debian-binary, control.tar.gz,
# data.tar.gz) the modes its umask gives them: the same umask for everyone.
(umask 0022 && cd "$build" && cpack -G DEB >/dev/null)
mkdir -p "$dist"
rm -f "$dist"/pelvoran*.deb
cp "$build"/pelvoran_*.deb "$build"/pelvoran-server_*.deb "$dist"/
pelvoran_write_sums "$dist"
