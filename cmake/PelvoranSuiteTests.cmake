# Run after a test executable is linked (cmake -P): lists its GoogleTest
# suites and writes one ctest test for each into OUTPUT, and their names in
# pelvoran_suites (the file that includes it sets their properties).
#   -DEXE=<executable> -DOUTPUT=<file>
#   [-DSHARDS=<n> -DRUNNER=<tests/support/run_shards.sh>]
# One process a suite, not one a case: a process start (Qt's, the
# sanitizers') cost as much as most cases, and the cases of a suite share
# what they set up. With SHARDS, a suite of cases that wait runs as up to
# that many processes at once (the runner), so that their waits overlap.
execute_process(COMMAND "${EXE}" --gtest_list_tests
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "${EXE} --gtest_list_tests failed (${status}):\n${errors}")
endif()
set(script "")
set(suites "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # A suite is a line that starts in column one and ends with its dot;
    # a parameterized one is followed by a comment ("  # TypeParam = ...").
    # Its cases follow, indented.
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_/]*)\\.( +#.*)?$")
        set(suite "${CMAKE_MATCH_1}")
        list(APPEND suites "${suite}")
        set(cases_${suite} 0)
    elseif(line MATCHES "^  [A-Za-z0-9_/]" AND DEFINED suite)
        math(EXPR cases_${suite} "${cases_${suite}} + 1")
    endif()
endforeach()
foreach(suite IN LISTS suites)
    set(command "[==[${EXE}]==]")
    if(DEFINED SHARDS AND cases_${suite} GREATER 1)
        set(shards ${SHARDS})
        if(cases_${suite} LESS shards)
            set(shards ${cases_${suite}})
        endif()
        set(command "/bin/sh [==[${RUNNER}]==] ${shards} ${command}")
    endif()
    string(APPEND script
        "add_test([==[${suite}]==] ${command} [==[--gtest_filter=${suite}.*]==])\n")
endforeach()
string(APPEND script "set(pelvoran_suites [==[${suites}]==])\n")
if(suites STREQUAL "")
    message(FATAL_ERROR "${EXE} listed no test suite:\n${listing}")
endif()
file(WRITE "${OUTPUT}" "${script}")
