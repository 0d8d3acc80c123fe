#!/usr/bin/env bash
# Cross-builds the Windows program (32-bit, Release) and leaves
#   dist/Pelvoran.exe           the program: graphical subsystem, one file
#   dist/pelvoran-decode.exe    the command-line companion (console)
# and their lines in dist/SHA256SUMS (PELVORAN_DIST names another folder).
# Installs what is missing first. Arguments go to CMake's configure step:
#   bash scripts/build-windows.sh -DPELVORAN_SERVER_BASE=http://127.0.0.1:8080
# With PELVORAN_UPDATE_KEY set (the key line of pelvoran-server key create),
# the program offers only releases signed by that key (scripts/configure.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/windows-common.sh
. scripts/sums.sh

windows_build_packages

build=${PELVORAN_WIN_RELEASE_BUILD:-build-win-release}
pelvoran_configure "$build" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release \
    -DPELVORAN_BUILD_TESTS=OFF \
    "$@"
cmake --build "$build" -j2 --target Pelvoran pelvoran-decode

dist=${PELVORAN_DIST:-dist}
mkdir -p "$dist"
# strip writes the time of day into the PE header unless SOURCE_DATE_EPOCH
# gives it one: zero, as the linker leaves it (--no-insert-timestamp).
SOURCE_DATE_EPOCH=0 i686-w64-mingw32-strip -o "$dist/Pelvoran.exe" "$build/win/Pelvoran.exe"
SOURCE_DATE_EPOCH=0 i686-w64-mingw32-strip -o "$dist/pelvoran-decode.exe" \
    "$build/cli/pelvoran-decode.exe"
pelvoran_write_sums "$dist"

# What the executables are and what they import: DLLs of Windows only.
for exe in "$dist/Pelvoran.exe" "$dist/pelvoran-decode.exe"; do
    info=$(i686-w64-mingw32-objdump -p "$exe")
    format=$(i686-w64-mingw32-objdump -f "$exe" | sed -n 's/.*file format //p')
    subsystem=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*//p' <<<"$info")
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$info" | tr '\n' ' ')
    printf '%s: %s bytes, %s, %s, imports %s\n' "$exe" "$(stat -c %s "$exe")" "$format" \
        "$subsystem" "$dlls"
    for dll in $dlls; do
        case "${dll,,}" in
        kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | shell32.dll | ole32.dll | \
            winhttp.dll | msvcrt.dll | advapi32.dll | bcrypt.dll | crypt32.dll) ;;
        *)
            echo "$exe imports $dll, which does not ship with Windows" >&2
            exit 1
            ;;
        esac
    done
done
