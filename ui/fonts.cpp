#include "ui/window_services.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace pelvoran {

namespace {

// SimSun sets ASCII at half and Chinese at full width; the monospaced Noto CJK
// keeps those widths, so texts wrap where they were meant to.
const QStringList& songFamilies() {
    static const QStringList families = {u"SimSun"_s,
                                         u"Noto Sans Mono CJK SC"_s,
                                         u"Noto Serif CJK SC"_s,
                                         u"Noto Sans CJK SC"_s,
                                         u"AR PL UMing CN"_s,
                                         u"WenQuanYi Zen Hei Mono"_s,
                                         u"WenQuanYi Zen Hei"_s,
                                         u"Droid Sans Fallback"_s};
    return families;
}

/// The first of the families that is installed, so that no font look-up
/// walks through the missing ones; the whole list if none is.
QStringList installedSong() {
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : songFamilies())
        if (installed.contains(family))
            return {family};
    return songFamilies();
}

} // namespace

void installChineseFontSubstitutes() {
    const QStringList song = installedSong();
    QFont::insertSubstitutions(u"宋体"_s, song);
    QFont::insertSubstitutions(u"新宋体"_s, song);
}

void useChineseDefaultFont() {
    // The default user-interface font of a Chinese desktop: SimSun, 9 points.
    QFont font;
    font.setFamilies(installedSong());
    font.setPointSizeF(9);
    QApplication::setFont(font);
}

} // namespace pelvoran
