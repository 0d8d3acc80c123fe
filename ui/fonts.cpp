#include "window_services.h"

#include <QFont>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace pelvoran {

void installChineseFontSubstitutes() {
    const QStringList serif = {u"SimSun"_s,         u"Noto Serif CJK SC"_s,
                               u"Noto Sans CJK SC"_s, u"AR PL UMing CN"_s,
                               u"WenQuanYi Zen Hei"_s, u"Droid Sans Fallback"_s};
    QFont::insertSubstitutions(u"宋体"_s, serif);
    QFont::insertSubstitutions(u"新宋体"_s, QStringList{u"NSimSun"_s} + serif);
}

} // namespace pelvoran
