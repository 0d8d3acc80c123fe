#pragma once

namespace pelvoran {

/// Maps the Windows font names the windows ask for ("宋体", "新宋体") to an
/// installed CJK font.
void installChineseFontSubstitutes();

/// Makes SimSun 9 points (or its substitute) the default font of every window.
void useChineseDefaultFont();

} // namespace pelvoran
