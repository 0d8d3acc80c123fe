find_package(GTest REQUIRED)
include(GoogleTest)

# pelvoran_add_test(<name> SOURCES <files...> LIBS <targets...> [ENV <k=v>...])
# Builds one GoogleTest executable and registers its cases with ctest.
function(pelvoran_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENV" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 120 ENVIRONMENT "${ARG_ENV}")
endfunction()
