#include "ui/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace pelvoran {

QTranslator* installQtChineseTranslation() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    // One file by its full name: no look-up through the user's locale list.
    if (!translator->load(u"qtbase_zh_CN"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

} // namespace pelvoran
