# Configures a build directory with Ninja, so that every script can build a
# directory that another one configured. Sourced, not run.
#   pelvoran_configure <build-dir> [cmake arguments...]
# A directory left by a configure with another generator is reset first,
# rather than stopping with "Does not match the generator used previously".
pelvoran_configure() {
    local dir=$1
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        echo "$dir was configured with another generator: configuring it afresh with Ninja"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    cmake -S . -B "$dir" -G Ninja "$@"
}
