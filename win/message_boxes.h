#pragma once

#include "platform/desktop.h"

namespace pelvoran::win {

/// Message boxes through MessageBoxW: no icon, OK or OK and Cancel, OK the
/// default; modal for the whole thread. A message too long for the screen's
/// work area loses text before its last line, as the shared rule cuts it.
class Win32MessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override;
};

} // namespace pelvoran::win
