# Configures a build directory with Ninja, so that every script can build a
# directory that another one configured. Sourced, not run.
#   pelvoran_configure <build-dir> [cmake arguments...]
# A directory left by a configure with another generator is reset first,
# rather than stopping with "Does not match the generator used previously".
# The publisher's public key, when PELVORAN_UPDATE_KEY is set in the
# environment (the key line of `pelvoran-server key create`, without its
# "-DPELVORAN_UPDATE_KEY="), goes into every build configured here: the
# programs then offer only releases signed by its private half. The same goes
# for PELVORAN_ANSWER_KEY, the key the publisher's answers are signed with.
pelvoran_configure() {
    local dir=$1
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        echo "$dir was configured with another generator: configuring it afresh with Ninja"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    local key=()
    [ -n "${PELVORAN_UPDATE_KEY:-}" ] && key=(-DPELVORAN_UPDATE_KEY="$PELVORAN_UPDATE_KEY")
    [ -n "${PELVORAN_ANSWER_KEY:-}" ] && key+=(-DPELVORAN_ANSWER_KEY="$PELVORAN_ANSWER_KEY")
    cmake -S . -B "$dir" -G Ninja "${key[@]}" "$@"
}

# The sanitized build with every test, compiled by clang (test.sh and
# check.sh share it):
#   pelvoran_configure_sanitized [cmake arguments...]
# Line tables only (-g1): the sanitizers' reports name every file and line,
# and a file compiles in about a tenth less time than with full debug
# information. A folder that GCC configured is configured afresh.
pelvoran_configure_sanitized() {
    if [ -f build-asan/CMakeCache.txt ] &&
        ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' build-asan/CMakeCache.txt; then
        rm -rf build-asan
    fi
    CXX=clang++ pelvoran_configure build-asan -DCMAKE_BUILD_TYPE=Debug -DPELVORAN_SANITIZE=ON \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DPELVORAN_BUILD_TESTS=ON "$@"
}

# The sanitizers' settings for a run of the tests: every leak and error
# reported, UndefinedBehaviorSanitizer's first one fatal.
pelvoran_sanitizer_env() {
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
}
