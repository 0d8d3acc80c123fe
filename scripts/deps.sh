#!/usr/bin/env bash
# Every Debian package that Pelvoran's scripts need, in one place, and their
# installation when any of them is missing. Sourced by run.sh, test.sh and
# the Windows scripts; a script adds its own needs to pelvoran_packages
# (test.sh adds pelvoran_test_packages) before calling pelvoran_install_deps,
# or installs a list of its own with pelvoran_install_packages.

# Building and running the program. Qt's zh_CN catalogue translates the
# windows' standard buttons; the CJK fonts draw the Chinese texts.
pelvoran_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libcurl4-openssl-dev
    qt6-translations-l10n fonts-noto-cjk
    libmicrohttpd-dev libsqlite3-dev libpq-dev libssl-dev libsystemd-dev
    # The server's Unicode normalization (NFKC), for the comments it holds.
    libunistring-dev
)

# The test command on top. What its builds need (the test and benchmark
# libraries; lld links the test executables, the shipped ones keep GNU ld;
# clang compiles the sanitized build, llvm-symbolizer names the lines of its
# reports) is installed first; what only its runs need can install while
# those build (test.sh).
pelvoran_test_build_packages=(
    clang-format git
    libgtest-dev libgmock-dev libbenchmark-dev qt6-base-private-dev
    lld clang libclang-rt-dev llvm
)
# The locales the tests generate with localedef, and the package checks
# (cpack's dpkg-shlibdeps and file, lintian, appstreamcli,
# desktop-file-validate).
pelvoran_test_run_packages=(
    locales
    dpkg-dev file lintian appstream desktop-file-utils
    # systemd brings systemd-socket-activate and systemd-analyze; nginx
    # serves the publisher guide's proxy recipes in the tests.
    systemd man-db wrk nginx-light
    # /metrics read by a real parser of Prometheus' text format.
    python3-prometheus-client
    # The PostgreSQL store's tests start a primary and a standby of their
    # own from these binaries (no cluster of the system's is made).
    postgresql
    # The receivers of the notifications tests: a real SMTP server.
    python3-aiosmtpd
    # The Windows executables signed with a certificate made in the test.
    osslsigncode openssl
    # The pages in Chromium's headless shell; axe-core comes through npm,
    # which Debian's package brings unless a Node.js that has it is installed.
    chromium-headless-shell chromium-driver python3-selenium
    # What Orca says of the tool: a virtual display with a window manager,
    # the accessibility bus, Orca, and keys typed through the X server.
    xvfb openbox dbus at-spi2-core orca python3-pyatspi xdotool procps
    $(command -v npm >/dev/null || echo npm)
)
pelvoran_test_packages=("${pelvoran_test_build_packages[@]}" "${pelvoran_test_run_packages[@]}")

# The everyday check (check.sh): the sanitized build of clang and the suites
# that test code in their own process, the store's on PostgreSQL among them.
pelvoran_check_packages=(
    clang-format git clang lld libclang-rt-dev llvm
    libgtest-dev libgmock-dev qt6-base-private-dev locales postgresql
)

# The Windows program (build-windows.sh): the cross compilers.
pelvoran_windows_build_packages=(
    cmake ninja-build mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-i686
)

# Its tests on top (test-windows.sh): GoogleTest's sources to cross-build,
# lld to link them, wine to run them on a virtual X display with CJK fonts
# and the Chinese locale.
pelvoran_windows_test_packages=(
    googletest lld wine wine64 wine32:i386 xvfb xauth fonts-noto-cjk locales x11-utils
)

# Where this machine cannot start 32-bit programs: the decoder's serial table
# built for 32-bit Linux and run under qemu-i386 (tests/i686).
pelvoran_i686_check_packages=(qemu-user g++-multilib)

# What the scripts can do without: without the 32-bit wine the Windows tests
# run the 64-bit build of the same sources, as on a kernel that runs no
# 32-bit programs. A mirror whose i386 lists are out of step with the rest
# leaves it uninstallable.
pelvoran_optional_packages=(wine32:i386)

# The packages named that are not installed yet, one a line; but those
# found uninstallable here (PELVORAN_APT_WITHOUT, below).
pelvoran_missing_packages() {
    for p in "$@"; do
        case " ${PELVORAN_APT_WITHOUT:-} " in *" $p "*) continue ;; esac
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$p"
    done
}

# Readies apt for the packages named: Debian's PostgreSQL told not to make a
# cluster of its own, a foreign architecture ("wine32:i386") added, the
# package lists read once (again after an architecture is added; scripts
# started from here inherit PELVORAN_APT_UPDATED), and the optional packages
# that apt cannot install left out from then on (PELVORAN_APT_WITHOUT).
pelvoran_apt_prepare() {
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    # Debian's PostgreSQL makes and starts a cluster of its own when
    # installed unless told not to; the tests start theirs.
    if printf '%s\n' "$@" | grep -q '^postgresql' &&
        [ ! -e /etc/postgresql-common/createcluster.conf ]; then
        "${sudo[@]}" mkdir -p /etc/postgresql-common
        echo "create_main_cluster = false" |
            "${sudo[@]}" tee /etc/postgresql-common/createcluster.conf >/dev/null
    fi
    local arch
    for arch in $(printf '%s\n' "$@" | sed -n 's/^[^:]*://p' | sort -u); do
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            "${sudo[@]}" dpkg --add-architecture "$arch"
            PELVORAN_APT_UPDATED=
        fi
    done
    if [ -z "${PELVORAN_APT_UPDATED:-}" ]; then
        # A mirror caught mid-sync fails one list or another: what the
        # others hold is installed, and apt names what it cannot find.
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
            echo "NOTE: apt-get update could not read every list (above); going on with the rest."
        export PELVORAN_APT_UPDATED=yes
    fi
    local p
    for p in "${pelvoran_optional_packages[@]}"; do
        if printf '%s\n' "$@" | grep -qxF "$p" &&
            ! apt-get install -s -qq --no-install-recommends "$p" >/dev/null 2>&1; then
            echo "NOTE: apt cannot install $p here; going on without it."
            export PELVORAN_APT_WITHOUT="${PELVORAN_APT_WITHOUT:-} $p"
        fi
    done
}

# Installs the packages named that are not installed yet (a name may carry
# an architecture, "wine32:i386": that architecture is added first). Waits
# up to ten minutes for another apt to finish.
pelvoran_install_packages() {
    local missing
    mapfile -t missing < <(pelvoran_missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    pelvoran_apt_prepare "${missing[@]}"
    mapfile -t missing < <(pelvoran_missing_packages "${missing[@]}")
    [ ${#missing[@]} -eq 0 ] && return 0
    local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
        --no-install-recommends -o DPkg::Lock::Timeout=600)
    echo "Installing: ${missing[*]}"
    "${install[@]}" "${missing[@]}" && return 0
    local needed
    mapfile -t needed < <(printf '%s\n' "${missing[@]}" |
        grep -vxF -f <(printf '%s\n' "${pelvoran_optional_packages[@]}"))
    [ ${#needed[@]} -lt ${#missing[@]} ] || return 1
    echo "NOTE: installing without $(printf '%s\n' "${missing[@]}" |
        grep -xF -f <(printf '%s\n' "${pelvoran_optional_packages[@]}") | tr '\n' ' ')"
    [ ${#needed[@]} -eq 0 ] || "${install[@]}" "${needed[@]}"
}

pelvoran_install_deps() {
    pelvoran_install_packages "${pelvoran_packages[@]}"
}
