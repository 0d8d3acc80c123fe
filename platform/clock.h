#pragma once

#include "platform/regional.h"

namespace pelvoran {

/// The local date and time now.
LocalDateTime localNow();

} // namespace pelvoran
