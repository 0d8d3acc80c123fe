#pragma once

#include "platform/regional.h"

#include <cstdio>

namespace pelvoran {

/// The pelvoran-decode command: codes as arguments, or one per line on
/// standard input when there are none. Returns the process exit status:
/// 0 when every code was read, 1 when some input was not valid UTF-8 or the
/// output failed, 2 for a usage error.
int runDecodeCli(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err,
                 const RegionalSettings& regional);

} // namespace pelvoran
