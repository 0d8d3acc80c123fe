# Configures a build directory with Ninja, so that every script can build a
# directory that another one configured. Sourced, not run.
#   pelvoran_configure <build-dir> [cmake arguments...]
# A directory left by a configure with another generator is reset first,
# rather than stopping with "Does not match the generator used previously".
# The publisher's public key, when PELVORAN_UPDATE_KEY is set in the
# environment (the key line of `pelvoran-server key create`, without its
# "-DPELVORAN_UPDATE_KEY="), goes into every build configured here: the
# programs then offer only releases signed by its private half.
pelvoran_configure() {
    local dir=$1
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        echo "$dir was configured with another generator: configuring it afresh with Ninja"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    local key=()
    [ -n "${PELVORAN_UPDATE_KEY:-}" ] && key=(-DPELVORAN_UPDATE_KEY="$PELVORAN_UPDATE_KEY")
    cmake -S . -B "$dir" -G Ninja "${key[@]}" "$@"
}
