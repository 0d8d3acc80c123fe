#!/usr/bin/env bash
# Installs the Debian packages that Pelvoran needs, when any of them is
# missing. Sourced by run.sh and test.sh; a script adds its own needs to
# pelvoran_packages (test.sh adds pelvoran_test_packages) before calling
# pelvoran_install_deps.

# Building and running the program. Qt's zh_CN catalogue translates the
# windows' standard buttons; the CJK fonts draw the Chinese texts.
pelvoran_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libcurl4-openssl-dev
    qt6-translations-l10n fonts-noto-cjk
    libmicrohttpd-dev libsqlite3-dev
)

# The test command on top: the test and benchmark libraries, the locales the
# tests generate with localedef, and the package checks (cpack's dpkg-shlibdeps
# and file, lintian, appstreamcli, desktop-file-validate).
pelvoran_test_packages=(
    libgtest-dev libgmock-dev libbenchmark-dev qt6-base-private-dev
    locales
    dpkg-dev file lintian appstream desktop-file-utils
    systemd man-db wrk nginx-light
    # The pages in a headless browser; axe-core comes through npm, which
    # Debian's package brings unless a Node.js that has it is installed.
    chromium chromium-driver python3-selenium
    # What Orca says of the tool: a virtual display with a window manager,
    # the accessibility bus, Orca, and keys typed through the X server.
    xvfb openbox dbus at-spi2-core orca python3-pyatspi xdotool procps
    $(command -v npm >/dev/null || echo npm)
)

# Installs the packages named that are not installed yet (a name may carry
# an architecture, "wine32:i386": that architecture is added first).
pelvoran_install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

pelvoran_install_deps() {
    pelvoran_install_packages "${pelvoran_packages[@]}"
}
