# GoogleTest and the standard headers the tests share, compiled once for
# every test executable of the directory (pelvoran_test_headers(<target>)):
# parsing them was about half of each test file's compile.
# pelvoran_add_test_headers(<gtest target>)
function(pelvoran_add_test_headers gtest)
    set(anchor ${CMAKE_CURRENT_BINARY_DIR}/pelvoran_test_headers.cpp)
    file(CONFIGURE OUTPUT ${anchor} CONTENT "// The precompiled headers' own target.\n")
    add_library(pelvoran_test_headers STATIC ${anchor})
    target_link_libraries(pelvoran_test_headers PRIVATE ${gtest})
    target_precompile_headers(pelvoran_test_headers PRIVATE
        <gtest/gtest.h> <algorithm> <atomic> <chrono> <cstdio> <cstdlib> <filesystem>
        <fstream> <functional> <map> <memory> <mutex> <optional> <set> <string> <thread>
        <vector>)
endfunction()

# The target must link GoogleTest and build without -fPIC (no Qt), as the
# headers were: with other settings the compiler would quietly parse them
# again, so it is told to warn (an error where warnings are).
function(pelvoran_test_headers target)
    target_precompile_headers(${target} REUSE_FROM pelvoran_test_headers)
    target_compile_options(${target} PRIVATE -Winvalid-pch)
endfunction()

# Test executables link with lld where it is installed: GNU ld took two and
# a half times as long for the sanitized ones. The programs that ship keep
# GNU ld. (The Windows test builds use PELVORAN_LINK_WITH_LLD instead.)
find_program(PELVORAN_TEST_LLD ld.lld)
function(pelvoran_test_linker target)
    if(PELVORAN_TEST_LLD AND NOT WIN32)
        target_link_options(${target} PRIVATE -fuse-ld=lld)
    endif()
endfunction()
