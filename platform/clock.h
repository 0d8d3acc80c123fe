#pragma once

#include "regional.h"

namespace pelvoran {

/// The local date and time now.
LocalDateTime localNow();

} // namespace pelvoran
