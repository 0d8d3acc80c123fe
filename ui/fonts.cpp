#include "window_services.h"

#include <QApplication>
#include <QFont>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace pelvoran {

void installChineseFontSubstitutes() {
    // SimSun sets ASCII at half and Chinese at full width; the monospaced
    // Noto CJK keeps those widths, so texts wrap where they were meant to.
    const QStringList song = {u"SimSun"_s,
                              u"Noto Sans Mono CJK SC"_s,
                              u"Noto Serif CJK SC"_s,
                              u"Noto Sans CJK SC"_s,
                              u"AR PL UMing CN"_s,
                              u"WenQuanYi Zen Hei Mono"_s,
                              u"WenQuanYi Zen Hei"_s,
                              u"Droid Sans Fallback"_s};
    QFont::insertSubstitutions(u"宋体"_s, song);
    QFont::insertSubstitutions(u"新宋体"_s, QStringList{u"NSimSun"_s} + song);
}

void useChineseDefaultFont() {
    // The default user-interface font of a Chinese desktop: SimSun, 9 points.
    QFont font(u"宋体"_s);
    font.setPointSizeF(9);
    QApplication::setFont(font);
}

} // namespace pelvoran
