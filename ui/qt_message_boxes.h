#pragma once

#include "platform/desktop.h"

namespace pelvoran {

/// Standard Qt message boxes: the title, the message as plain text, no icon,
/// OK (the default) or OK and Cancel. Closing the box counts as Cancel.
class QtMessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override;
};

} // namespace pelvoran
