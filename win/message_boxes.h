#pragma once

#include "platform/desktop.h"

#include <windows.h>

namespace pelvoran::win {

/// Message boxes through MessageBoxW: no icon, 确定 or 确定 and 取消 whatever
/// the display language, 确定 the default; owned by the window they speak for
/// (see BoxOwner), else by the shown main window (see setMainWindow), else
/// modal for the whole thread. A message too long for the screen's work area
/// loses text before its last line, as the shared rule cuts it.
class Win32MessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override;
};

/// While it lives, the thread's message boxes speak for `window`: it owns them
/// and is active again when one closes.
class BoxOwner {
public:
    explicit BoxOwner(HWND window);
    ~BoxOwner();
    BoxOwner(const BoxOwner&) = delete;
    BoxOwner& operator=(const BoxOwner&) = delete;

private:
    HWND previous_;
};

/// The main window of the thread, or nullptr. While it is shown it owns the
/// boxes that no BoxOwner gives to another window, and is active again when
/// one closes; a box before it is shown (the update offer) has no owner.
void setMainWindow(HWND window);

} // namespace pelvoran::win
