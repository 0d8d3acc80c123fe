#include "platform/reply_secret.h"

namespace pelvoran {

// The Windows tool keeps no reply keys yet: its comment post goes out as it
// always has.
std::optional<std::string> drawSecret() {
    return std::nullopt;
}

} // namespace pelvoran
