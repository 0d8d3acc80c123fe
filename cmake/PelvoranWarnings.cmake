# The warnings our code compiles without, for the main project and the
# stand-alone ones under tests/.
set(PELVORAN_WARNING_FLAGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Woverloaded-virtual)
