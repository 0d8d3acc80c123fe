# The warnings our code compiles without, for the main project and the
# stand-alone ones under tests/. In a batched (unity) build every source file
# is included into another, and GCC then takes a class in an anonymous
# namespace that a test fixture derives from for one shared by headers
# (-Wsubobject-linkage): that warning says nothing about such a build.
set(PELVORAN_WARNING_FLAGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Woverloaded-virtual)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND PELVORAN_WARNING_FLAGS -Wno-subobject-linkage)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Clang's -Wconversion takes in the signedness changes that GCC's leaves
    # out for C++: the same set as GCC's.
    list(APPEND PELVORAN_WARNING_FLAGS -Wno-sign-conversion)
endif()
