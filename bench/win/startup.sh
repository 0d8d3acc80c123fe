#!/usr/bin/env bash
# Start-up of Pelvoran.exe under wine against the fair window (the same
# window and texts after one update question through WinHTTP) and a bare
# Win32 window of the same size and texts, each also built with Pelvoran's
# manifest, alternated, and the size and imports of the shipped exe:
#   bash bench/win/startup.sh [runs] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. scripts/windows-common.sh
pick_windows_arch
runs=${1:-15}
build=${2:-$([ "$arch" = 32 ] && echo build-win || echo build-win-x64)}
cmake --build "$build" -j2 --target pelvoran_win_startup pelvoran_win_bare pelvoran_win_fair \
    pelvoran_win_bare_manifest pelvoran_win_fair_manifest pelvoran_win_bench_exe
ensure_chinese_locale "$root/$build"
trap stop_wine_desktop EXIT
start_wine_desktop "$root/$build/wineprefix" "$wine_loader"
b=$(cd "$build/bench/win" && pwd)
"$wine_loader" "$b/pelvoran_win_startup.exe" "$runs" \
    "Z:${b//\//\\}\\pelvoran_win_bench_exe.exe" \
    "Z:${b//\//\\}\\pelvoran_win_fair.exe" "Z:${b//\//\\}\\pelvoran_win_bare.exe" \
    "Z:${b//\//\\}\\pelvoran_win_fair_manifest.exe" \
    "Z:${b//\//\\}\\pelvoran_win_bare_manifest.exe"
for exe in dist/Pelvoran.exe dist/pelvoran-decode.exe; do
    [ -f "$exe" ] || continue
    printf '%s: %s bytes; imports %s\n' "$exe" "$(stat -c %s "$exe")" \
        "$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
done
