#!/usr/bin/env bash
# Installs what is missing (what only the tests need installs while the first
# build compiles), then builds (with clang) and runs the whole test
# suite under AddressSanitizer + UndefinedBehaviorSanitizer; then builds as
# released (with GCC) with the benchmarks, and runs again the suites that
# start the built programs as processes (all but the browser and Orca
# tests), while GCC checks the other test sources for warnings; then builds
# the .deb and checks it with lintian, upgrades an installed server package
# with it, and checks the AppStream file with appstreamcli and the .desktop
# file with desktop-file-validate; then runs scripts/run.sh as a newcomer
# would, on a virtual display; then cross-builds the Windows program and
# runs its tests under wine; then builds the four
# release files again and compares them, and signs the executables with a
# test certificate; last, fails on any process a test left running. Exits
# non-zero when any build, test or check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
. scripts/configure.sh
# What the builds need is installed first; what only the tests need (the
# browser, wine, Orca, PostgreSQL, the package checks: most of a fresh
# machine's installs) installs while the first build compiles, and the tests
# wait for it. Nothing else here runs apt-get: the Windows builds beside
# find their packages installed.
pelvoran_packages+=("${pelvoran_test_build_packages[@]}" "${pelvoran_windows_build_packages[@]}")
later_packages=("${pelvoran_test_run_packages[@]}" "${pelvoran_windows_test_packages[@]}"
    "${pelvoran_i686_check_packages[@]}")
mapfile -t missing < <(pelvoran_missing_packages "${pelvoran_packages[@]}" "${later_packages[@]}")
# One reading of the package lists, with wine's architecture added, for both.
[ ${#missing[@]} -eq 0 ] || pelvoran_apt_prepare "${missing[@]}"
pelvoran_install_deps
installs_log=$(mktemp)
installs_done=$(mktemp -u)
(pelvoran_install_packages "${later_packages[@]}" && touch "$installs_done") >"$installs_log" 2>&1 &
installs=$!
# Waits for the installs above; fails when they did.
wait_for_installs() {
    while [ ! -e "$installs_done" ] && kill -0 "$installs" 2>/dev/null; do
        sleep 1
    done
    [ -e "$installs_done" ]
}
SECONDS=0

# Every process this run starts carries the marker in its environment, so
# that what a test left running is found at the end (and ended), whatever
# started it.
export PELVORAN_TEST_RUN="run-$$-$(date +%s%N)"
leftovers() {
    bash tests/support/leftovers.sh "$PELVORAN_TEST_RUN" "$@" >/dev/null
}
# What an early exit (a build that failed) leaves is ended all the same.
trap 'leftovers --kill || true; rm -f "$installs_done"' EXIT

pelvoran_sanitizer_env

# Warnings are errors here, never in a user's plain build.
werror=ON
status=0
# How long each step took, in the log (where the time goes is the first
# question when the command gets slower).
step_started=$SECONDS
timed() {
    echo "== $1 took $((SECONDS - step_started)) s (${SECONDS} s in all)"
    step_started=$SECONDS
}
failed() {
    echo "FAILED: $*" >&2
    status=1
}

# The format: every C++ file as clang-format (Debian's) lays it out.
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
    failed "clang-format: run clang-format -i on the files named above"
fi

# The Windows cross-builds and the release files' second build need nothing
# from the Linux builds: they run beside them at the lowest priority, so they
# take the processor time that the Linux steps leave (while tests wait on
# servers, browsers and time limits, or a link runs alone) and give it back
# when those want it. Their output is printed at step 5. The Windows tests'
# build comes before the release files' second build, so that the wine tests
# can start as soon as the Linux steps are done.
beside_log=$(mktemp)
windows_tests_built=$(mktemp -u)
(
    nice -n 19 bash scripts/build-windows.sh -UPELVORAN_SERVER_BASE -DPELVORAN_WERROR=$werror ||
        { echo "FAILED: Windows executables"; exit 1; }
    # The tests' build prepares wine's prefix: wine must be there.
    wait_for_installs || { echo "FAILED: the packages the tests need were not installed"; exit 1; }
    nice -n 19 bash scripts/test-windows.sh --build-only -DPELVORAN_WERROR=$werror ||
        { echo "FAILED: Windows test build"; exit 1; }
    touch "$windows_tests_built"
    # clang's warnings in the Windows test sources, which only mingw-w64's
    # GCC builds: the newest Windows test tree, compiled for syntax.
    windows_tests=build-win
    if [ build-win-x64 -nt build-win ]; then windows_tests=build-win-x64; fi
    nice -n 19 python3 tools/syntax_check.py --clang-for-mingw "$windows_tests" ||
        { echo "FAILED: clang's warnings in the Windows test sources (above)"; exit 1; }
    started=$(date +%s)
    nice -n 19 bash scripts/check-reproducible.sh --build -DPELVORAN_WERROR=$werror ||
        { echo "FAILED: the release files' second build"; exit 1; }
    echo "The release files' second build took $(($(date +%s) - started)) s."
) >"$beside_log" 2>&1 &
beside=$!

# 1. ASan + UBSan, compiled by clang: it compiles this build in about 280 s
# of processor time where GCC took 450 s (GCC compiles what ships, in step
# 2), and a second compiler's warnings come with it.
pelvoran_configure_sanitized -DPELVORAN_WERROR=$werror
cmake --build build-asan -j2
timed "the sanitized build"
if ! wait_for_installs; then
    cat "$installs_log"
    echo "FAILED: installing the packages the tests need (above)" >&2
    exit 1
fi
cat "$installs_log"
rm -f "$installs_log"
timed "waiting for the packages the tests need"
# Most of the tests' time goes to waiting on servers, browsers and
# PostgreSQL: four run at once, and the builds beside take what they leave.
ctest --test-dir build-asan --output-on-failure -j4 || failed "tests under ASan+UBSan"
timed "the tests under ASan+UBSan"

# 2. As released: the programs that ship, the benchmarks, the package, and
# the suites that start those programs (the server, the desktop tool,
# pelvoran-decode) as processes, against them. The suites that test code in
# their own process ran in step 1 on the same sources; built again here they
# took about 120 s of processor time for nothing new.
# (The server address goes back to the packaged one after scripts/run.sh.)
# The pages in Chromium and the tool under Orca ran in step 1, against the
# sanitized server and tool: their time goes to the browser and the screen
# reader, which no build of ours changes, so they run once.
pelvoran_configure build -DCMAKE_BUILD_TYPE=Release -UPELVORAN_SERVER_BASE \
    -DPELVORAN_BUILD_TESTS=ON -DPELVORAN_PROCESS_TESTS_ONLY=ON -DPELVORAN_BUILD_BENCH=ON \
    -DPELVORAN_WERROR=$werror
cmake --build build -j2
timed "the release build"
# Beside those tests, which mostly wait: GCC compiles for syntax, warnings
# as errors, the test sources it did not compile above (the suites that
# test code in their own process), from a tree of the whole suite that is
# configured and never built. clang compiled them all in step 1.
syntax_log=$(mktemp)
# GoogleTest's header is read once, into the tree's precompiled header.
(
    CXX=g++ pelvoran_configure build-syntax -DCMAKE_BUILD_TYPE=Release -DPELVORAN_BUILD_TESTS=ON \
        -DPELVORAN_BUILD_BENCH=ON -DPELVORAN_WERROR=ON >/dev/null &&
        cmake --build build-syntax --target pelvoran_test_pch >/dev/null &&
        python3 tools/syntax_check.py build-syntax build
) >"$syntax_log" 2>&1 &
syntax=$!
ctest --test-dir build --output-on-failure -j4 -E '^(browser_|orca_speech_test)' ||
    failed "tests as released"
wait "$syntax" || failed "GCC's warnings in the test sources (below)"
cat "$syntax_log"
rm -f "$syntax_log"
timed "the tests as released, and GCC's look at the other tests"

# 3. The packages and their listings: pelvoran (the desktop program) and
#    pelvoran-server.
#    build-packages.sh copies them into dist/ and writes dist/SHA256SUMS.
bash scripts/build-packages.sh build || failed "cpack"
for name in pelvoran pelvoran-server; do
    deb=(build/"${name}"_*.deb)
    if [ ! -f "${deb[0]}" ]; then
        failed "cpack made no $name package"
        continue
    fi
    echo "lintian ${deb[0]}"
    lintian --fail-on error,warning "${deb[0]}" || failed "lintian $name"
done
# The server's package upgrading an installed one with apt, over a database
# one migration behind (PackageUpgrade in tests/server_deploy_test.cpp): the
# suite of step 2's build that skips until it is given the package.
deb=(build/pelvoran-server_*.deb)
if [ -f "${deb[0]}" ]; then
    PELVORAN_SERVER_PACKAGE="$PWD/${deb[0]}" ctest --test-dir build --output-on-failure \
        -R '^PackageUpgrade$' || failed "upgrading pelvoran-server's package"
fi
# The server's units: the service's exposure rating in systemd's eyes, at
# most 1.2 (the threshold is in tenths; it holds no capability, systemd binds
# port 80 for it); then systemd-analyze verify on both units as the package
# installs them, beside the executable and manual page they name and the
# host's own units for the targets they refer to. verify reports unknown
# settings and bad values without failing, so any output fails.
if out=$(systemd-analyze security --offline=yes --threshold=12 \
        packaging/server/pelvoran-server.service 2>&1); then
    echo "${out##*$'\n'}"
else
    echo "$out"
    failed "systemd-analyze security: pelvoran-server.service above 1.2"
fi
unit_root=build/server-root
rm -rf "$unit_root"
mkdir -p "$unit_root/lib/systemd/system"
cp -a /lib/systemd/system/. "$unit_root/lib/systemd/system/"
if dpkg-deb -x build/pelvoran-server_*.deb "$unit_root"; then
    out=$(MANPATH="$PWD/$unit_root/usr/share/man" systemd-analyze verify --root="$unit_root" \
        "$unit_root/lib/systemd/system/pelvoran-server.socket" \
        "$unit_root/lib/systemd/system/pelvoran-server.service" 2>&1) || failed "systemd-analyze verify"
    if [ -n "$out" ]; then
        echo "$out"
        failed "systemd-analyze verify printed messages"
    fi
else
    failed "unpacking the pelvoran-server package"
fi
appstreamcli validate --no-net build/packaging/*.metainfo.xml || failed "appstreamcli validate"
out=$(desktop-file-validate app/pelvoran.desktop 2>&1) || failed "desktop-file-validate"
if [ -n "$out" ]; then
    echo "$out"
    failed "desktop-file-validate printed hints"
fi

timed "the packages and their checks"

# The README's first command as a newcomer runs it: scripts/run.sh with no
# state directory yet, the tool on a virtual display, a comment typed in
# it that must reach the server. run.sh rebuilds only the tool of `build`
# (against the server it starts), which nothing after this uses: the
# packages above were made from it first.
/usr/bin/python3 tests/first_run/first_run_test.py || failed "scripts/run.sh on a first start"
timed "scripts/run.sh on a first start"

# 4. The Windows tests under wine, once their build beside the steps above
#    is done. The other builds beside go on at the lowest priority: wine
#    gets the processor whenever it wants it.
while [ ! -e "$windows_tests_built" ] && kill -0 "$beside" 2>/dev/null; do
    sleep 1
done
if [ -e "$windows_tests_built" ]; then
    rm -f "$windows_tests_built"
    timed "waiting for the Windows test build"
    bash scripts/test-windows.sh -DPELVORAN_WERROR=$werror || failed "Windows tests under wine"
    timed "the Windows tests"
fi

# 5. The builds beside the steps above: the shipped 32-bit executables in
#    dist/ (with the packaged server address, whatever an earlier run left
#    in the cache) and the release files' second build.
wait "$beside" || failed "Windows builds or the release files' second build (output below)"
cat "$beside_log"
rm -f "$beside_log"
timed "waiting for the builds beside"

# 6. The release files: the four files of dist/ against their second build
#    (other folders, umask and time zone, made beside the steps above); then
#    the executables signed with a certificate made for the test, each
#    checked against its unsigned rebuild.
. scripts/sums.sh
pelvoran_write_sums dist
bash scripts/check-reproducible.sh --compare || failed "reproducible release files"
bash tests/release/authenticode_test.sh dist build-again/dist || failed "Authenticode"
timed "comparing and signing the release files"

# 7. Nothing left running. A process that is ending (a browser after its
#    driver quit, a wineserver told to stop) gets a few seconds to be gone.
for _ in $(seq 100); do
    leftovers && break
    sleep 0.1
done
if ! bash tests/support/leftovers.sh "$PELVORAN_TEST_RUN" --kill; then
    failed "the processes above were still running after the tests (now killed)"
fi
timed "looking for processes left running"

[ $status -eq 0 ] && echo "All builds, tests and package checks passed." || true
exit $status
