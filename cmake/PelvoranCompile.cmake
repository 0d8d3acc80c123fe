# The language and the flags that every build of our code shares: the main
# project (CMakeLists.txt), the toolchain files and the stand-alone projects
# under tests/. Variables only, so that a toolchain file may include it too;
# each includer applies the flags in its own way.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# PELVORAN_WARNING_FLAGS: the warnings our code compiles without.
include(${CMAKE_CURRENT_LIST_DIR}/PelvoranWarnings.cmake)

# The serial rule depends on plain double arithmetic: nothing contracted into
# a fused multiply-add. (No excess precision either: i686-double.cmake.)
set(PELVORAN_ARITHMETIC_FLAGS -ffp-contract=off)

# The tests' own code is built to be compiled quickly: unoptimized and, but
# for the debug build, without debug information (half the time of the
# release flags). The code under test keeps the flags it ships with.
set(PELVORAN_TEST_CODE_FLAGS "$<$<NOT:$<CONFIG:Debug>>:-O0>" "$<$<NOT:$<CONFIG:Debug>>:-g0>")
