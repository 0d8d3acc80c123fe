# The same Windows program as a 64-bit build. Used for the test leg on hosts
# whose kernel cannot run 32-bit code (wine then starts only 64-bit programs);
# the shipped executable is the 32-bit one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PELVORAN_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
