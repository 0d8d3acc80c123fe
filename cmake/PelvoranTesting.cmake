find_package(GTest REQUIRED)

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

# pelvoran_register_suites(<target> [WAITS] [UNIT] [ENV <k=v>...])
# Registers each GoogleTest suite of <target> as one ctest test, once the
# target is linked (cmake/PelvoranSuiteTests.cmake). WAITS marks suites that
# wait on processes and time limits: each runs as up to three processes at
# once, its cases shared among them, so that their waits overlap; and ctest
# starts them first (COST), so that in a fresh build, with no times of an
# earlier run to go by, the short ones fill in around them and no long one
# runs alone at the end. UNIT marks suites that test code in their own
# process (ctest -L unit: scripts/check.sh runs those).
function(pelvoran_register_suites target)
    cmake_parse_arguments(ARG "WAITS;UNIT" "" "ENV" ${ARGN})
    set(cost 0)
    set(shards)
    if(ARG_WAITS)
        set(cost 10)
        set(shards -DSHARDS=3 -DRUNNER=${PROJECT_SOURCE_DIR}/tests/support/run_shards.sh)
    endif()
    set(env ${PELVORAN_TEST_ENV} ${ARG_ENV})
    set(dir ${CMAKE_CURRENT_BINARY_DIR})
    set(labels process)
    if(ARG_UNIT)
        set(labels unit)
    endif()
    set(tests ${dir}/${target}_suites.cmake)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}> -DOUTPUT=${tests} ${shards}
                -P ${PROJECT_SOURCE_DIR}/cmake/PelvoranSuiteTests.cmake
        VERBATIM)
    # The suites come from the last link, their properties from the last
    # configure: a change of either holds without the other.
    file(WRITE ${dir}/${target}_include.cmake
        "if(EXISTS [==[${tests}]==])\n"
        "    include([==[${tests}]==])\n"
        "    foreach(suite IN LISTS pelvoran_suites)\n"
        "        set_tests_properties(\${suite} PROPERTIES TIMEOUT 300 COST ${cost}\n"
        "            LABELS ${labels} ENVIRONMENT [==[${env}]==])\n"
        "    endforeach()\n"
        "else()\n"
        "    add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${dir}/${target}_include.cmake)
endfunction()

# pelvoran_add_test(<name> SOURCES <files...> LIBS <targets...> [ENV <k=v>...]
#                   [WAITS] [UNIT])
# Builds one GoogleTest executable and registers its suites with ctest.
function(pelvoran_add_test name)
    cmake_parse_arguments(ARG "WAITS;UNIT" "" "SOURCES;LIBS;ENV" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    if(TARGET pelvoran_test_pch)
        target_precompile_headers(${name} REUSE_FROM pelvoran_test_pch)
    endif()
    pelvoran_test_linker(${name})
    set(kind)
    if(ARG_WAITS)
        list(APPEND kind WAITS)
    endif()
    if(ARG_UNIT)
        list(APPEND kind UNIT)
    endif()
    pelvoran_register_suites(${name} ${kind} ENV ${ARG_ENV})
endfunction()
