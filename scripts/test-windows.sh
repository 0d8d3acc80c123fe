#!/usr/bin/env bash
# Builds the Windows program with its tests and runs them under wine, on a
# virtual X display. Installs what is missing first. Arguments go to CMake's
# configure step.
#
# The program ships as a 32-bit executable; where the kernel cannot start
# 32-bit code (no ia32 emulation, so no 32-bit wine), the same sources are
# built and tested as a 64-bit program instead, and the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/windows-common.sh

windows_packages
install_missing xvfb xauth fonts-noto-cjk locales x11-utils

if can_run_32bit; then
    toolchain=cmake/toolchain-mingw-i686.cmake
    build=${PELVORAN_WIN_BUILD:-build-win}
    wine_loader=/usr/lib/wine/wine
else
    echo "NOTE: this kernel cannot run 32-bit programs; testing the 64-bit build of the same sources."
    toolchain=cmake/toolchain-mingw-x86_64.cmake
    build=${PELVORAN_WIN_BUILD:-build-win64}
    wine_loader=/usr/lib/wine/wine64
fi

# Chinese as the system locale where a test needs code page 936: wine takes
# it from LC_ALL. Generated into the build tree when the system lacks it.
mkdir -p "$build"
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    mkdir -p "$build/locale"
    [ -d "$build/locale/zh_CN.UTF-8" ] ||
        localedef -i zh_CN -f UTF-8 "$build/locale/zh_CN.UTF-8" 2>/dev/null ||
        [ -d "$build/locale/zh_CN.UTF-8" ]
    export LOCPATH="$root/$build/locale"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DPELVORAN_WINE="$wine_loader" "$@"
cmake --build "$build" -j2

# A wine prefix of our own, on a display of our own.
export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=zh_CN.UTF-8
display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done

wine=$wine_loader
# One wineserver for the whole run: each test would otherwise start its own.
wineserver -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i >/dev/null 2>&1 || true
# A virtual desktop: without it each closed top-level window costs about 2 s.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null
# Chinese captions and message boxes in a CJK font instead of empty boxes.
for face in 宋体 SimSun 新宋体 NSimSun Tahoma; do
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" \
        /d 'Noto Sans Mono CJK SC' /f >/dev/null
done

cd "$build"
ctest --output-on-failure -j1 2>&1 | tee ctest.log | grep -v '^\s*$' | tail -n 12
grep -q '100% tests passed' ctest.log
