#pragma once

// Where the platforms' GBK tables differ: code page 936 gives the private-use
// characters GBK's user-defined codes (U+E000 is AA A1), while glibc's GBK
// has no character for them. Tests expect each platform's own table there,
// and the same codes everywhere else.

namespace pelvoran::test {

#ifdef _WIN32
inline constexpr bool kGbkHasUserDefinedCodes = true;
#else
inline constexpr bool kGbkHasUserDefinedCodes = false;
#endif

} // namespace pelvoran::test
