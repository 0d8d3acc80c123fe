#pragma once

#include "platform/desktop.h"

#include <functional>
#include <windows.h>

namespace pelvoran::win {

/// Message boxes through MessageBoxW: no icon, 确定 or 确定 and 取消 whatever
/// the display language, 确定 the default; owned by the window they speak for
/// (see boxesSpeakFor), else modal for the whole thread. A message too long for
/// the screen's work area loses text before its last line, as the shared rule
/// cuts it.
class Win32MessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override;
};

/// The thread's message boxes speak for `window` from now on (none for
/// nullptr): it owns them and is active again when one closes. Which window
/// that is, the presenters say.
void boxesSpeakFor(HWND window);

/// Runs `run` once no message box of the thread is open: at once when none
/// is, else from the thread's message loop after the last one has closed.
void whenNoBoxOpen(std::function<void()> run);

} // namespace pelvoran::win
