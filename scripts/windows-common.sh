# Shared by build-windows.sh and test-windows.sh (sourced, not run).

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages named that are not installed yet (names may
# carry an architecture, "wine32:i386").
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

windows_packages() {
    install_missing cmake ninja-build mingw-w64 g++-mingw-w64-i686-posix \
        g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 googletest \
        wine wine64 wine32:i386
}

# True when this machine can start 32-bit programs: the 32-bit wine loader
# needs the kernel's 32-bit support, which some kernels leave out.
can_run_32bit() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
