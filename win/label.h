#pragma once

#include <windows.h>

namespace pelvoran::win {

/// Makes a static control paint its text as a label: wrapped within its box
/// by the labels' shared line-breaking rule, a line break (CR LF, CR or LF)
/// starting a new line, baselines layout::lineStep() apart with the first one
/// a font size below the top, and what does not fit cut off at the bottom.
void paintAsLabel(HWND control);

} // namespace pelvoran::win
