#!/usr/bin/env bash
# Builds the Windows program with its tests and runs them under wine, on a
# virtual X display. Installs what is missing first. Arguments go to CMake's
# configure step. With --build-only as the first argument it builds, runs the
# i686 check below and prepares wine's prefix, but runs no test: the test
# command builds while other tests run and runs the wine tests later.
#
# The program ships as a 32-bit executable; where the kernel cannot start
# 32-bit code (no ia32 emulation, so no 32-bit wine), the same sources are
# built and tested as a 64-bit program instead, and the script says so; the
# i686 double arithmetic is then checked under qemu-i386 (tests/i686).
# PELVORAN_WIN_ARCH=64 takes that path on any machine (both can then be
# checked on one); PELVORAN_WIN_ARCH=32 insists on the 32-bit build.
#
# Nothing it starts outlives it: at its end, when a test fails, and when it
# is interrupted (INT, TERM, HUP), it ends the tests still running, every
# wine process, the wineserver and Xvfb. Xvfb dies with it even when it is
# killed, and what such a run left of wine is ended at the start of the next
# (scripts/windows-common.sh). A suite that ctest kills at its time limit
# takes the processes it started with it (tests/win/gtest_wmain.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/windows-common.sh
build_only=false
if [ "${1:-}" = --build-only ]; then
    build_only=true
    shift
fi

windows_build_packages
windows_test_packages

pick_windows_arch
if [ "$arch" = 32 ]; then build=${PELVORAN_WIN_BUILD:-build-win}; else build=${PELVORAN_WIN_BUILD:-build-win-x64}; fi
mkdir -p "$build"
ensure_chinese_locale "$root/$build"

# Linked with lld: GNU ld takes 2-3 s an executable, and this build has some
# twenty (the release files keep GNU ld).
pelvoran_configure "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DPELVORAN_BUILD_TESTS=ON -DPELVORAN_BUILD_BENCH=ON \
    -DPELVORAN_LINK_WITH_LLD=ON -DPELVORAN_WINE="$wine_loader" "$@"
cmake --build "$build" -j2

# The 64-bit build does not check the shipped i686 double arithmetic: the
# serial table built for 32-bit Linux with the same floating-point flags
# runs under qemu-i386 instead.
if [ "$arch" = 64 ]; then
    pelvoran_install_packages "${pelvoran_i686_check_packages[@]}"
    cmake -S tests/i686 -B "$build-i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-i686.cmake"
    cmake --build "$build-i686" -j2
    if ! ctest --test-dir "$build-i686" --output-on-failure >"$build-i686/ctest.log" 2>&1; then
        cat "$build-i686/ctest.log"
        exit 1
    fi
    grep -v '^\s*$' "$build-i686/ctest.log" | tail -n 3
fi

# ctest runs in the background (ctest_pid), so that a signal to this script
# is handled at once; an interruption ends it and every test it runs.
ctest_pid=
interrupted() {
    [ -n "$ctest_pid" ] && end_tree "$ctest_pid"
    exit 130
}
# Ends the process and those below it: TERM, and KILL to what is left 10 s later.
end_tree() {
    local tree=("$1") i=0 child
    # Bounded: each process is listed once, below its parent.
    while [ $i -lt ${#tree[@]} ]; do
        for child in $(ps -o pid= --ppid "${tree[$i]}"); do tree+=("$child"); done
        i=$((i + 1))
    done
    kill -TERM "${tree[@]}" 2>/dev/null || true
    for _ in $(seq 100); do
        ps -o stat= -p "$(IFS=,; echo "${tree[*]}")" | grep -qv '^ *Z' || break
        sleep 0.1
    done
    kill -KILL "${tree[@]}" 2>/dev/null || true
}
trap stop_wine_desktop EXIT
trap interrupted INT TERM HUP
start_wine_desktop "$root/$build/wineprefix" "$wine_loader"
$build_only && exit 0

# The real server that app_real_server_win runs Pelvoran.exe against: the
# optimized Linux build's (scripts/test.sh builds it first); without one that
# test is skipped.
export PELVORAN_LINUX_SERVER=${PELVORAN_LINUX_SERVER:-$root/build/server/pelvoran-server}
cd "$build"
ctest --output-on-failure -j2 >ctest.log 2>&1 &
ctest_pid=$!
wait "$ctest_pid" || true
ctest_pid=
grep -v '^\s*$' ctest.log | tail -n 12
grep -q '100% tests passed' ctest.log
