#pragma once

class QTranslator;

namespace pelvoran {

/// Installs Qt's own Simplified Chinese translation, so that what Qt draws
/// by itself (the text boxes' context menus, standard buttons) reads Chinese
/// like the rest of the windows. The translator belongs to the application;
/// nullptr when the translation is not installed on this system.
QTranslator* installQtChineseTranslation();

} // namespace pelvoran
