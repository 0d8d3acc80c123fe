#pragma once

#include "platform/desktop.h"
#include "platform/http_request.h"
#include "platform/regional.h"

#include <functional>

namespace pelvoran {

/// What the windows need of the platform; the application passes the real
/// ones, tests their own.
struct UiServices {
    const HttpComponentRegistry* registry = nullptr;
    MessageBoxes* messageBoxes = nullptr;
    Shell* shell = nullptr;
    std::function<LocalDateTime()> clock;
    RegionalSettings regional = RegionalSettings::zhCN();
    Text baseAddress;
};

/// Maps the Windows font names the windows ask for ("宋体", "新宋体") to an
/// installed CJK font.
void installChineseFontSubstitutes();

/// Makes SimSun 9 points (or its substitute) the default font of every window.
void useChineseDefaultFont();

} // namespace pelvoran
