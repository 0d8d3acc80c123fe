#pragma once
// How the main window tells screen readers of a new answer, beyond the name
// change that its label reports.

#include "platform/text.h"

#include <functional>
#include <windows.h>

namespace pelvoran::win {

/// Asks screen readers to read out `text`, which `control` now shows.
using Announce = std::function<void(HWND control, const Text& text)>;

/// Raises a UI Automation notification from `control` (an action completed,
/// the most recent one important) through UiaRaiseNotificationEvent, which
/// uiautomationcore.dll has from Windows 10 version 1709 on. Where it is
/// missing, as under wine, it does nothing.
void announceByUiAutomation(HWND control, const Text& text);

} // namespace pelvoran::win
