#include "ui/screen.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace pelvoran {

void centreOnScreen(QWidget* window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

} // namespace pelvoran
