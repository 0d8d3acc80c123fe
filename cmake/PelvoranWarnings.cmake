# The warnings our code compiles without, for the main project and the
# stand-alone ones under tests/. In a batched (unity) build every source file
# is included into another, and GCC then takes a class in an anonymous
# namespace that a test fixture derives from for one shared by headers
# (-Wsubobject-linkage): that warning says nothing about such a build.
set(PELVORAN_WARNING_FLAGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Woverloaded-virtual
    -Wno-subobject-linkage)
