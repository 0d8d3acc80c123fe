# Plain double arithmetic on i686: the x87 unit keeps 80-bit intermediates,
# which moves some serial prefixes into the neighbouring month. SSE2 rounds
# every operation to double, as the decoders expect (no contraction either:
# PELVORAN_ARITHMETIC_FLAGS, cmake/PelvoranCompile.cmake). Shared by the
# 32-bit Windows build and the 32-bit Linux check of it
# (toolchain-linux-i686.cmake).
set(PELVORAN_I686_DOUBLE_FLAGS "-msse2 -mfpmath=sse")
