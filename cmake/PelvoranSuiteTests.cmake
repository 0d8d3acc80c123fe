# Run after a test executable is linked (cmake -P): lists its GoogleTest
# suites and writes one ctest test for each into OUTPUT.
#   -DEXE=<executable> -DOUTPUT=<file> -DPROPERTIES=<file of set_tests_properties arguments>
# One process a suite, not one a case: a process start (Qt's, the
# sanitizers') cost as much as most cases, and the cases of a suite share
# what they set up.
execute_process(COMMAND "${EXE}" --gtest_list_tests
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "${EXE} --gtest_list_tests failed (${status}):\n${errors}")
endif()
file(READ "${PROPERTIES}" properties)
set(script "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # A suite is a line that starts in column one and ends with its dot;
    # a parameterized one is followed by a comment ("  # TypeParam = ...").
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_/]*)\\.( +#.*)?$")
        set(suite "${CMAKE_MATCH_1}")
        string(APPEND script
            "add_test([==[${suite}]==] [==[${EXE}]==] [==[--gtest_filter=${suite}.*]==])\n"
            "set_tests_properties([==[${suite}]==] PROPERTIES ${properties})\n")
    endif()
endforeach()
if(script STREQUAL "")
    message(FATAL_ERROR "${EXE} listed no test suite:\n${listing}")
endif()
file(WRITE "${OUTPUT}" "${script}")
