#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# under AddressSanitizer + UndefinedBehaviorSanitizer, then as released with
# the benchmarks; then builds the .deb and checks it with lintian, the
# AppStream file with appstreamcli and the .desktop file with
# desktop-file-validate; then cross-builds the Windows program and runs its
# tests under wine. Exits non-zero when any build, test or check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
pelvoran_packages+=("${pelvoran_test_packages[@]}")
pelvoran_install_deps

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Warnings are errors here, never in a user's plain build.
werror=ON
status=0
failed() {
    echo "FAILED: $*" >&2
    status=1
}

# 1. ASan + UBSan.
pelvoran_configure build-asan -DCMAKE_BUILD_TYPE=Debug -DPELVORAN_SANITIZE=ON \
    -DPELVORAN_BUILD_TESTS=ON -DPELVORAN_WERROR=$werror
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2 || failed "tests under ASan+UBSan"

# 2. As released: tests, benchmarks built, the package.
pelvoran_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELVORAN_BUILD_TESTS=ON -DPELVORAN_BUILD_BENCH=ON -DPELVORAN_WERROR=$werror
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 || failed "tests as released"

# 3. The package and its listings.
rm -f build/pelvoran_*.deb
(cd build && cpack -G DEB >/dev/null) || failed "cpack"
for deb in build/pelvoran_*.deb; do
    echo "lintian $deb"
    lintian --fail-on error,warning "$deb" || failed "lintian"
done
appstreamcli validate --no-net build/packaging/*.metainfo.xml || failed "appstreamcli validate"
out=$(desktop-file-validate app/pelvoran.desktop 2>&1) || failed "desktop-file-validate"
if [ -n "$out" ]; then
    echo "$out"
    failed "desktop-file-validate printed hints"
fi

# 4. The Windows program: the shipped 32-bit executables into dist/, then the
#    Windows build with its tests under wine.
bash scripts/build-windows.sh -DPELVORAN_WERROR=$werror || failed "Windows executables"
bash scripts/test-windows.sh -DPELVORAN_WERROR=$werror || failed "Windows tests under wine"

[ $status -eq 0 ] && echo "All builds, tests and package checks passed." || true
exit $status
