find_package(GTest REQUIRED)
include(GoogleTest)

# Every test's environment. The tests keep their files (state directories,
# SQLite databases, scripts) in TMPDIR; where the machine has a memory file
# system with room and leave to run programs from it, that is /dev/shm, where
# a sync costs nothing: the server's tests commit thousands of times, and on
# a disk their syncs were most of their time.
set(PELVORAN_TEST_ENV)
execute_process(COMMAND findmnt -bno FSTYPE,OPTIONS,AVAIL --target /dev/shm
    OUTPUT_VARIABLE shm RESULT_VARIABLE shm_status ERROR_QUIET)
if(shm_status EQUAL 0 AND shm MATCHES "^tmpfs +([^ ]+) +([0-9]+)")
    set(shm_options ${CMAKE_MATCH_1})
    if(CMAKE_MATCH_2 GREATER 1073741824 AND NOT shm_options MATCHES "noexec")
        list(APPEND PELVORAN_TEST_ENV TMPDIR=/dev/shm)
    endif()
endif()

include(PelvoranTestBuild)

# pelvoran_add_test(<name> SOURCES <files...> LIBS <targets...> [ENV <k=v>...]
#                   [WAITS])
# Builds one GoogleTest executable and registers its cases with ctest. WAITS
# marks cases that wait on processes and time limits: ctest starts them
# first (COST), so that in a fresh build, with no times of an earlier run to
# go by, the short cases fill in around them and no long one runs alone at
# the end.
function(pelvoran_add_test name)
    cmake_parse_arguments(ARG "WAITS" "" "SOURCES;LIBS;ENV" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    pelvoran_test_linker(${name})
    set(env ${PELVORAN_TEST_ENV} ${ARG_ENV})
    set(cost 0)
    if(ARG_WAITS)
        set(cost 10)
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 120 COST ${cost} ENVIRONMENT "${env}")
endfunction()
