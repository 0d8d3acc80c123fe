#!/usr/bin/env bash
# The README's pictures of the Windows windows, as wine draws them:
#   bash bench/win/screenshots.sh [build-dir]
# writes docs/screenshots/win-main.png, win-help.png, win-comment.png,
# win-answer.png and win-thanks.png (the thanks box of a numbered comment).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. scripts/windows-common.sh
pick_windows_arch
build=${1:-$([ "$arch" = 32 ] && echo build-win || echo build-win-x64)}
cmake --build "$build" -j2 --target pelvoran_win_screenshots
trap stop_wine_desktop EXIT
start_wine_desktop "$root/$build/wineprefix" "$wine_loader"
shots=$(mktemp -d)
"$wine_loader" "$build/bench/win/pelvoran_win_screenshots.exe" \
    "Z:${shots//\//\\}\\main.bmp" "Z:${shots//\//\\}\\help.bmp" "Z:${shots//\//\\}\\comment.bmp" \
    "Z:${shots//\//\\}\\answer.bmp" "Z:${shots//\//\\}\\thanks.bmp"
python3 tools/bmp_to_png.py "$shots/main.bmp" docs/screenshots/win-main.png \
    "$shots/help.bmp" docs/screenshots/win-help.png \
    "$shots/comment.bmp" docs/screenshots/win-comment.png \
    "$shots/answer.bmp" docs/screenshots/win-answer.png \
    "$shots/thanks.bmp" docs/screenshots/win-thanks.png
rm -rf "$shots"
ls -l docs/screenshots/win-*.png
