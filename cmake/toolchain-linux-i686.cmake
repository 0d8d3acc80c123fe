# A 32-bit Linux build of the decoder and its serial table (tests/i686), to
# check the i686 double arithmetic of the Windows program on a machine whose
# kernel cannot start 32-bit programs, and so cannot run the 32-bit wine:
# built with the Windows build's floating-point flags (g++-multilib) and run
# under qemu-i386's user-mode emulation (qemu-user).
#   cmake -S tests/i686 -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i686.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# The stand-alone project of tests/i686 takes the standard and the
# arithmetic flags from here: it has no other way to the main project's.
include(${CMAKE_CURRENT_LIST_DIR}/PelvoranCompile.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/i686-double.cmake)
list(JOIN PELVORAN_ARITHMETIC_FLAGS " " pelvoran_arithmetic)
string(APPEND CMAKE_C_FLAGS_INIT " -m32 ${PELVORAN_I686_DOUBLE_FLAGS} ${pelvoran_arithmetic}")
string(APPEND CMAKE_CXX_FLAGS_INIT " -m32 ${PELVORAN_I686_DOUBLE_FLAGS} ${pelvoran_arithmetic}")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -m32")

find_program(PELVORAN_QEMU_I386 qemu-i386 REQUIRED)
# The 32-bit C library and loader come from the host's own multilib files.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVORAN_QEMU_I386} -L /)
