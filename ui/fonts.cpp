#include "ui/fonts.h"

#include "forms/form_layout.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace pelvoran {

namespace {

// SimSun sets ASCII at half and Chinese at full width. The monospaced Noto CJK
// keeps those widths, so every caption wraps at the same place as in SimSun and
// fits its box.
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
    QFont font;
    font.setFamilies(installedSong());
    font.setPointSizeF(layout::kDefaultFontPoints);
    QApplication::setFont(font);
}

} // namespace pelvoran
