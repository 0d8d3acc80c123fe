# Cross-compiling the Windows program: 32-bit, mingw-w64 with the posix thread
# model (std::mutex and std::thread, which GoogleTest needs), everything linked
# statically so the executable imports only DLLs that ship with Windows.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PELVORAN_MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Plain double arithmetic: SSE2, not the x87 unit.
include(${CMAKE_CURRENT_LIST_DIR}/i686-double.cmake)
string(APPEND CMAKE_C_FLAGS_INIT " ${PELVORAN_I686_DOUBLE_FLAGS}")
string(APPEND CMAKE_CXX_FLAGS_INIT " ${PELVORAN_I686_DOUBLE_FLAGS}")
