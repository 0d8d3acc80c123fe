#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pelvoran needs, when
# any of them is missing. Sourced by run.sh and test.sh.
pelvoran_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libcurl4-openssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

pelvoran_install_deps() {
    local missing=()
    for p in "${pelvoran_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}
