# Shared by the mingw-w64 toolchain files; PELVORAN_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${PELVORAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELVORAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PELVORAN_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELVORAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wide-character entry points (wmain, wWinMain) everywhere; libstdc++,
# libgcc and winpthreads inside each executable.
# The standard and the arithmetic flags come from the project
# (cmake/PelvoranCompile.cmake).
string(APPEND CMAKE_C_FLAGS_INIT " -municode")
string(APPEND CMAKE_CXX_FLAGS_INIT " -municode")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -municode -static")
# No link time in the PE header: one commit, one executable, byte for byte.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")
# CMake's probe programs have main(), not wmain(): probe by compiling only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Tests and tools run under wine.
if(PELVORAN_MINGW_TRIPLET MATCHES "^x86_64")
    # The 64-bit loader directly: the wine wrapper would try the 32-bit one first.
    find_program(PELVORAN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
find_program(PELVORAN_WINE NAMES wine)
if(PELVORAN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVORAN_WINE})
endif()
